// The run state's definitions, and its release and reset.
#include "run_state.h"

#include <initializer_list>

#include "LIB/GRIDUTIL.h"

std::FILE* f1;
std::FILE* f1d;
std::FILE* f2;
std::FILE* f2d;
int format, format2, itype, itype2;
int nb_lig, nb_col;
int pix_size;
double dpix_size;
int mind, maxd;
bool descr_OK;
int dyn_scale;
double coef;
bool open_ascii_OK;
double X_min, Y_min;
double nodata;
double** dtab_in;
std::int32_t** itab1;
std::uint16_t** jtab1;
double ratio, pix_size_out;
double dmin_alt, dmax_alt;
int nb_lig4, nb_col4, nb_lig2, nb_col2, nb_lig3, nb_col3;
double** dtab_prov1;
double** dtab_prov2;
double** dtab_out;
double** dtab_out2;
std::int32_t** itab2;
std::uint16_t** jtab2;

void release_grids() {
    gridutil_free(dtab_in);  // a view of dtab_prov1's data cells
    frimatrice_bloc(itab1, nb_lig);
    frusmatrice_bloc(jtab1, nb_lig);
    frdmatrice_bloc(dtab_prov1, nb_lig2);
    frdmatrice_bloc(dtab_prov2, nb_lig3);
    frdmatrice(dtab_out, nb_lig4);
    frdmatrice(dtab_out2, nb_lig4);
    frimatrice(itab2, nb_lig4);
    frusmatrice(jtab2, nb_lig4);
    dtab_in = dtab_prov1 = dtab_prov2 = dtab_out = dtab_out2 = nullptr;
    itab1 = itab2 = nullptr;
    jtab1 = jtab2 = nullptr;
}

void close_streams() {
    for (std::FILE** s : {&f1, &f1d, &f2, &f2d}) {
        if (*s != nullptr) std::fclose(*s);
        *s = nullptr;
    }
}

void reset_run_state() {
    release_grids();
    close_streams();
    format = format2 = itype = itype2 = 0;
    nb_lig = nb_col = pix_size = mind = maxd = dyn_scale = 0;
    nb_lig4 = nb_col4 = nb_lig2 = nb_col2 = nb_lig3 = nb_col3 = 0;
    dpix_size = coef = X_min = Y_min = nodata = ratio = pix_size_out = 0.0;
    dmin_alt = dmax_alt = 0.0;
    descr_OK = open_ascii_OK = false;
}
