// The run state's definitions and its reset.
#include "dem_varnel/run_state.h"

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
double ratio, pix_size_out;
double dmin_alt, dmax_alt;
int nb_lig4, nb_col4, nb_lig2, nb_col2, nb_lig3, nb_col3;
void reset_run_state() {
    format = format2 = itype = itype2 = 0;
    nb_lig = nb_col = pix_size = mind = maxd = dyn_scale = 0;
    nb_lig4 = nb_col4 = nb_lig2 = nb_col2 = nb_lig3 = nb_col3 = 0;
    dpix_size = coef = X_min = Y_min = nodata = ratio = pix_size_out = 0.0;
    dmin_alt = dmax_alt = 0.0;
    descr_OK = open_ascii_OK = false;
}
