// GRIDUTIL: one generic maker and freer of row-pointer grids and vectors; the named
// functions of each element type are thin wrappers over them.
#include "LIB/GRIDUTIL.h"

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

GridCalloc gridutil_calloc = std::calloc;
GridFree gridutil_free = std::free;

namespace {

template <typename T>
T* make_vector(int NbCol) {
    if (NbCol < 1) return nullptr;
    return static_cast<T*>(gridutil_calloc(static_cast<std::size_t>(NbCol), sizeof(T)));
}

template <typename T>
void free_grid(T** Mat, int rows) {
    if (Mat == nullptr) return;
    for (int i = 0; i < rows; ++i) gridutil_free(Mat[i]);
    gridutil_free(Mat);
}

// The table first, then the rows in line order; a row that cannot be had gives back
// every row already obtained and the table.
template <typename T>
T** make_grid(int NbCol, int NbLig) {
    if (NbCol < 1 || NbLig < 1) return nullptr;
    auto** table = static_cast<T**>(gridutil_calloc(static_cast<std::size_t>(NbLig), sizeof(T*)));
    if (table == nullptr) return nullptr;
    for (int i = 0; i < NbLig; ++i) {
        table[i] = make_vector<T>(NbCol);
        if (table[i] == nullptr) {
            free_grid(table, i);
            return nullptr;
        }
    }
    return table;
}

}  // namespace

#define GRIDUTIL_FAMILY(prefix, T)                                                 \
    T** prefix##matrice(int NbCol, int NbLig) { return make_grid<T>(NbCol, NbLig); } \
    void fr##prefix##matrice(T** Mat, int NbLig) { free_grid(Mat, NbLig); }

#define GRIDUTIL_VECTOR(prefix, T)                                  \
    T* prefix##vecteur(int NbCol) { return make_vector<T>(NbCol); } \
    void fr##prefix##vecteur(T* Mat) { gridutil_free(Mat); }

GRIDUTIL_FAMILY(f, float)
GRIDUTIL_FAMILY(uc, unsigned char)
GRIDUTIL_FAMILY(us, std::uint16_t)
GRIDUTIL_FAMILY(s, std::int16_t)
GRIDUTIL_FAMILY(i, std::int32_t)
GRIDUTIL_FAMILY(d, double)
GRIDUTIL_FAMILY(ld, long double)

GRIDUTIL_VECTOR(f, float)
GRIDUTIL_VECTOR(uc, unsigned char)
GRIDUTIL_VECTOR(us, std::uint16_t)
GRIDUTIL_VECTOR(s, std::int16_t)
GRIDUTIL_VECTOR(i, std::int32_t)
GRIDUTIL_VECTOR(d, double)

namespace {

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

std::size_t whole_pages(std::size_t bytes) {
    const std::size_t page = page_size();
    return (bytes + page - 1) / page * page;
}

template <typename T>
T** make_block(int NbCol, int NbLig) {
    if (NbCol < 1 || NbLig < 1) return nullptr;
    if (static_cast<std::size_t>(NbCol) > SIZE_MAX / 2 / sizeof(T) / static_cast<std::size_t>(NbLig)) return nullptr;
    // One more entry than rows: it points past the last row and gives the size back.
    auto** table = static_cast<T**>(gridutil_calloc(static_cast<std::size_t>(NbLig) + 1, sizeof(T*)));
    if (table == nullptr) return nullptr;
    const std::size_t cells = static_cast<std::size_t>(NbCol) * static_cast<std::size_t>(NbLig);
    // Taken at once: the pages are zeroed in one go rather than one fault at a time.
    void* block = mmap(nullptr, whole_pages(cells * sizeof(T)), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (block == MAP_FAILED) {
        gridutil_free(table);
        return nullptr;
    }
    auto* first = static_cast<T*>(block);
    for (int i = 0; i <= NbLig; ++i) table[i] = first + static_cast<std::size_t>(i) * static_cast<std::size_t>(NbCol);
    return table;
}

template <typename T>
void free_block(T** Mat, int NbLig) {
    if (Mat == nullptr) return;
    munmap(Mat[0], whole_pages(static_cast<std::size_t>(Mat[NbLig] - Mat[0]) * sizeof(T)));
    gridutil_free(Mat);
}

template <typename T>
void release_block_rows(T** Mat, int NbLig) {
    if (Mat == nullptr || NbLig < 1) return;
    const std::size_t page = page_size();
    const std::size_t bytes = static_cast<std::size_t>(Mat[NbLig] - Mat[0]) * sizeof(T);
    const std::size_t whole = bytes / page * page;  // only the pages wholly inside
    if (whole > 0) madvise(Mat[0], whole, MADV_DONTNEED);
}

}  // namespace

#define GRIDUTIL_BLOCK(prefix, T)                                                                \
    T** prefix##matrice_bloc(int NbCol, int NbLig) { return make_block<T>(NbCol, NbLig); }        \
    void fr##prefix##matrice_bloc(T** Mat, int NbLig) { free_block(Mat, NbLig); }                \
    void prefix##matrice_bloc_release_rows(T** Mat, int NbLig) { release_block_rows(Mat, NbLig); }

GRIDUTIL_BLOCK(us, std::uint16_t)
GRIDUTIL_BLOCK(i, std::int32_t)
GRIDUTIL_BLOCK(d, double)
