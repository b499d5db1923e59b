// GRIDUTIL: one generic maker and freer of row-pointer grids and vectors; the named
// functions of each element type are thin wrappers over them.
#include "LIB/GRIDUTIL.h"

#include <cstdlib>

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

#define GRIDUTIL_FAMILY(prefix, T)                                                   \
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
