// literal_model: an independent, deliberately literal re-implementation of dem_varnel, the oracle
// of differential.py. Speed and robustness are no concern: scanf-style readers, every
// extended-precision intermediate written as a long double expression, every stored value
// rounded to double. Shared with the real program: the DEM_VARNEL_ROOT path mapping, the banner
// texts, exit status 0. "literal_model --selfcheck" checks the worked examples.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

static_assert(std::numeric_limits<long double>::digits == 64,
              "long double must be the x87 extended type (64-bit significand)");

typedef long double ext;  // the extended-precision intermediate type

// ---------------------------------------------------------------- grids (zero-filled)
template <typename T>
using Grid = std::vector<std::vector<T>>;
template <typename T>
static Grid<T> matrice(int nbcol, int nblig) {
    return Grid<T>(nblig > 0 ? nblig : 0, std::vector<T>(nbcol > 0 ? nbcol : 0, T(0)));
}

// ---------------------------------------------------------------- run state
static FILE *f1, *f1d, *f2, *f2d;
static int format, format2, itype, itype2;
static int nb_lig, nb_col, pix_size;
static double dpix_size;
static int mind, maxd;
static bool descr_OK;
static int dyn_scale;
static double coef;
static bool open_ascii_OK;
static double X_min, Y_min, nodata;
static Grid<double> dtab_in;
static Grid<int32_t> itab1;
static Grid<uint16_t> jtab1;
static double ratio, pix_size_out;
static double dmin_alt, dmax_alt;
static int nb_lig4, nb_col4, nb_lig2, nb_col2, nb_lig3, nb_col3;
static Grid<double> dtab_prov1, dtab_prov2, dtab_out, dtab_out2;
static Grid<int32_t> itab2;
static Grid<uint16_t> jtab2;

// The weight vectors are sized far beyond the factors the harness uses (< 20).
static const int NW = 4096;

// ---------------------------------------------------------------- helpers
// Logical name "c:\images\" + rest -> $DEM_VARNEL_ROOT/rest with '\' turned into '/'.
static std::string host_path(const std::string &logical) {
    static const std::string base = "c:\\images\\";
    std::string rest =
        logical.compare(0, base.size(), base) == 0 ? logical.substr(base.size()) : logical;
    for (char &ch : rest)
        if (ch == '\\') ch = '/';
    const char *root = std::getenv("DEM_VARNEL_ROOT");
    std::string r = root ? root : ".";
    if (r.empty() || r.back() != '/') r += '/';
    return r + rest;
}

// Answers are scanf-read; a failed read would make a question loop spin for ever, so the model
// stops instead (the harness never sends such input).
static void read_int(int *v) {
    if (std::scanf("%d", v) != 1) {
        std::fprintf(stderr, "literal_model: no integer answer on stdin\n");
        std::exit(2);
    }
}
static void read_double(double *v) {
    if (std::scanf("%lf", v) != 1) {
        std::fprintf(stderr, "literal_model: no real answer on stdin\n");
        std::exit(2);
    }
}
static void read_word(std::string *s) {
    static char buf[4096];
    if (std::scanf("%4095s", buf) != 1) {
        std::fprintf(stderr, "literal_model: no word answer on stdin\n");
        std::exit(2);
    }
    *s = buf;
}

// Real -> integer conversion truncating toward zero; beyond int64 the model has no defined answer.
static int64_t trunc64(ext v) {
    if (!(v > -9.2e18L && v < 9.2e18L)) {
        std::fprintf(stderr, "literal_model: value out of integer range\n");
        std::exit(4);
    }
    return (int64_t)v;
}
static int trunc_int(ext v) {
    int64_t t = trunc64(v);
    if (t < INT32_MIN || t > INT32_MAX) {
        std::fprintf(stderr, "literal_model: value out of int range\n");
        std::exit(4);
    }
    return (int)t;
}

static void key_wait() {
    std::fflush(stdout);
    (void)std::getchar();
}

// ---------------------------------------------------------------- readers
static void dem_lecture() {
    dtab_in = matrice<double>(nb_col, nb_lig);
    open_ascii_OK = false;
    if (itype == 0) {
        jtab1 = matrice<uint16_t>(nb_col, nb_lig);
        itab1 = matrice<int32_t>(nb_col, nb_lig);
        std::vector<unsigned char> buf((size_t)nb_col * 2);
        for (int i = 0; i < nb_lig; i++) {
            std::fill(buf.begin(), buf.end(), 0);  // cells not in the file stay 0
            size_t got = std::fread(buf.data(), 1, buf.size(), f1);
            (void)got;  // not tested: a short file leaves zeros
            for (int j = 0; j < nb_col; j++)
                jtab1[i][j] = (uint16_t)(buf[2 * j] | (buf[2 * j + 1] << 8));
        }
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                itab1[i][j] = (int32_t)jtab1[i][j];  // widened unsigned
        jtab1.clear();
    } else {
        itab1 = matrice<int32_t>(nb_col, nb_lig);
        std::vector<unsigned char> buf((size_t)nb_col * 4);
        for (int i = 0; i < nb_lig; i++) {
            std::fill(buf.begin(), buf.end(), 0);
            size_t got = std::fread(buf.data(), 1, buf.size(), f1);
            (void)got;
            for (int j = 0; j < nb_col; j++) {
                uint32_t u = (uint32_t)buf[4 * j] | ((uint32_t)buf[4 * j + 1] << 8) |
                             ((uint32_t)buf[4 * j + 2] << 16) | ((uint32_t)buf[4 * j + 3] << 24);
                itab1[i][j] = (int32_t)u;
            }
        }
    }
    int min = 1000000, max = 0;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            if (itab1[i][j] < min) min = itab1[i][j];
            if (itab1[i][j] > max) max = itab1[i][j];
        }
    std::printf("\n\n\tHypsometric dynamic scale:\n\t\tMin = %d\n\t\tMax = %d ", min, max);
    do {
        std::printf("\n\n\tAre these values\n\t\t0 ====> in meters");
        std::printf("\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters");
        std::printf("\n\t\t3 ====> in millimeters\n\t\t");
        read_int(&dyn_scale);
    } while (dyn_scale > 3);
    switch (dyn_scale) {
        case 0:
            coef = 1.0;
            break;
        case 1:
            coef = 10.0;
            break;
        case 2:
            coef = 100.0;
            break;
        case 3:
            coef = 1000.0;
            break;
        default:
            std::fprintf(stderr, "literal_model: negative unit answer has no factor\n");
            std::exit(5);
    }
    // quotient formed in extended precision, rounded to double when stored
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            dtab_in[i][j] = (double)((ext)(double)itab1[i][j] / (ext)coef);
    if (!descr_OK) {
        std::fprintf(f1d, "%d\n%d\n%d\n", min, max, trunc_int(dpix_size));
        std::fclose(f1d);
        f1d = nullptr;
    }
}

static void ascii_lecture() {
    char texte[4096];
    double dval = 0.0;
    std::printf("\n");
    open_ascii_OK = true;
    coef = 1.0;
    // labels discarded; values read by position (conversions not tested, as described)
    (void)std::fscanf(f1, "%4095s\t", texte);
    (void)std::fscanf(f1, "%d\n", &nb_col);
    (void)std::fscanf(f1, "%4095s\t", texte);
    (void)std::fscanf(f1, "%d\n", &nb_lig);
    (void)std::fscanf(f1, "%4095s\t", texte);
    (void)std::fscanf(f1, "%lf\n", &X_min);
    (void)std::fscanf(f1, "%4095s\t", texte);
    (void)std::fscanf(f1, "%lf\n", &Y_min);
    (void)std::fscanf(f1, "%4095s\t", texte);
    (void)std::fscanf(f1, "%lf\n", &dpix_size);
    (void)std::fscanf(f1, "%4095s\t", texte);
    (void)std::fscanf(f1, "%lf\n", &nodata);
    dtab_in = matrice<double>(nb_col, nb_lig);
    for (int i = 0; i < nb_lig; i++) {
        if (i > 0 && i % 100 == 0) std::printf("\tline %d                   \r", i);
        for (int j = 0; j < nb_col; j++) {
            (void)std::fscanf(f1, "%lf\t", &dval);
            dtab_in[i][j] = dval;
        }
    }
    pix_size = trunc_int(dpix_size);
}

// ---------------------------------------------------------------- writers
static void ascii_saving() {
    std::fprintf(f2, "ncols %d\n", nb_col4);
    std::fprintf(f2, "nrows %d\n", nb_lig4);
    if (!open_ascii_OK) {
        std::printf("\n\n\tUTM Coordinates : ");
        std::printf("\n\t\tX_min ? ");
        read_double(&X_min);
        std::printf("\t\tY_min ? ");
        read_double(&Y_min);
    }
    std::fprintf(f2, "xllcorner %lf\n", X_min);
    std::fprintf(f2, "yllcorner %lf\n", Y_min);
    std::fprintf(f2, "cellsize %lf\n", pix_size_out);
    std::fprintf(f2, "nodata_value -9999.9999\n");
    for (int i = 0; i < nb_lig4; i++)
        for (int j = 0; j < nb_col4; j++) std::fprintf(f2, "%lf\t", dtab_out2[i][j]);
}

static void save() {
    dtab_out = matrice<double>(nb_col4, nb_lig4);
    dtab_out2 = matrice<double>(nb_col4, nb_lig4);
    for (int i = 0; i < nb_lig4; i++)
        for (int j = 0; j < nb_col4; j++) dtab_out2[i][j] = dmin_alt;
    for (int i = 0; i < nb_lig4; i++)
        for (int j = 0; j < nb_col4; j++) dtab_out[i][j] = dtab_prov2[i + 3][j + 3];
    for (int i = 3; i < nb_lig4 - 3; i++)
        for (int j = 3; j < nb_col4 - 3; j++) dtab_out2[i][j] = dtab_out[i][j];

    if (format2 == 0) {
        ascii_saving();
        return;
    }
    if (format2 != 1) return;

    int val;
    std::vector<unsigned char> buf;
    if (itype2 == 0) {
        val = 2;
        jtab2 = matrice<uint16_t>(nb_col4, nb_lig4);
        for (int i = 0; i < nb_lig4; i++)
            for (int j = 0; j < nb_col4; j++)  // product in extended precision, then truncated
                jtab2[i][j] =
                    (uint16_t)((uint64_t)trunc64((ext)dtab_out2[i][j] * (ext)coef) & 0xFFFFu);
        buf.resize((size_t)nb_col4 * 2);
        for (int i = 0; i < nb_lig4; i++) {
            for (int j = 0; j < nb_col4; j++) {
                buf[2 * j] = (unsigned char)(jtab2[i][j] & 0xFF);
                buf[2 * j + 1] = (unsigned char)(jtab2[i][j] >> 8);
            }
            std::fwrite(buf.data(), 1, buf.size(), f2);
        }
    } else {
        val = 4;
        itab2 = matrice<int32_t>(nb_col4, nb_lig4);
        for (int i = 0; i < nb_lig4; i++)
            for (int j = 0; j < nb_col4; j++)
                itab2[i][j] =
                    (int32_t)(uint32_t)((uint64_t)trunc64((ext)dtab_out2[i][j] * (ext)coef) &
                                        0xFFFFFFFFu);
        buf.resize((size_t)nb_col4 * 4);
        for (int i = 0; i < nb_lig4; i++) {
            for (int j = 0; j < nb_col4; j++) {
                uint32_t u = (uint32_t)itab2[i][j];
                buf[4 * j] = (unsigned char)(u & 0xFF);
                buf[4 * j + 1] = (unsigned char)((u >> 8) & 0xFF);
                buf[4 * j + 2] = (unsigned char)((u >> 16) & 0xFF);
                buf[4 * j + 3] = (unsigned char)((u >> 24) & 0xFF);
            }
            std::fwrite(buf.data(), 1, buf.size(), f2);
        }
    }
    std::fclose(f2);
    f2 = nullptr;
    std::fprintf(f2d, "%d\n", nb_lig4);
    std::fprintf(f2d, "%d\n", nb_col4);
    std::fprintf(f2d, "%d\n", val);
    std::fprintf(f2d, "%d\n", trunc_int((ext)dmin_alt * (ext)coef));
    std::fprintf(f2d, "%d\n", trunc_int((ext)dmax_alt * (ext)coef));
    std::fprintf(f2d, "%d\n", trunc_int((ext)pix_size_out));
    std::fclose(f2d);
    f2d = nullptr;
}

// ---------------------------------------------------------------- engine
// Smallest whole number strictly greater than x.
static double bigger(double x) {
    double c = std::ceil(x);
    if (c == x) return (double)((ext)x + 1.0L);
    return c;
}

// Weights of padded output line (or column) i for the factor fact: w[0..*k], first index *s.
// The position is stored as a double for bigger and floor, but w[0] subtracts the product
// i * fact as formed in extended precision.
static void weights(int i, double fact, double *w, int *s, int *k) {
    double lp = (double)((ext)i * (ext)fact);
    w[0] = (double)((ext)bigger(lp) - (ext)i * (ext)fact);
    *s = (int)std::floor(lp);
    double xf = (double)((ext)fact - (ext)w[0]);
    int n = 1;
    while (xf >= 1.0) {
        w[n] = 1.0;
        n = n + 1;
        xf = (double)((ext)xf - 1.0L);
    }
    w[n] = xf;
    *k = n;
}

static void factors(int nin, int nout, double *fact) {
    double q = (double)((ext)nout / (ext)nin);
    *fact = (double)(1.0L / (ext)q);
}

static void kernel(const Grid<double> &tabin, Grid<double> &tabout, int NBlig_in, int NBcol_in,
                   int NBlig_out, int NBcol_out, double lfacteur, double cfacteur, double area,
                   bool progress);
static void fill_smooth_clamp(Grid<double> &tabout, Grid<double> &dtab, int NBlig_out,
                              int NBcol_out, bool first_pass_only = false);

static void transf(Grid<double> &tabin, Grid<double> &tabout, int NBlig_in, int NBcol_in,
                   int NBlig_out, int NBcol_out) {
    Grid<double> dtab = matrice<double>(NBcol_out, NBlig_out);
    double lfacteur, cfacteur;
    factors(NBlig_in, NBlig_out, &lfacteur);
    factors(NBcol_in, NBcol_out, &cfacteur);
    double area = (double)((ext)lfacteur * (ext)cfacteur);
    for (auto &row : dtab)
        for (double &v : row) v = 0.0;

    if (NBlig_out > NBlig_in)
        std::printf("\n\n\tEnlargement\n");
    else
        std::printf("\n\n\tReduction\n");
    std::printf("\n\n\tTreatment \n\n");

    kernel(tabin, tabout, NBlig_in, NBcol_in, NBlig_out, NBcol_out, lfacteur, cfacteur, area, true);
    fill_smooth_clamp(tabout, dtab, NBlig_out, NBcol_out);
}

// Area-weighted box mean of every padded output cell.
static void kernel(const Grid<double> &tabin, Grid<double> &tabout, int NBlig_in, int NBcol_in,
                   int NBlig_out, int NBcol_out, double lfacteur, double cfacteur, double area,
                   bool progress) {
    static double lw[NW], cw[NW];
    int ls, ligk, cs, colk;
    for (int i = 0; i < NBlig_out; i++) {
        if (progress && i > 0 && i % 100 == 0) std::printf("\tline %d                \r", i);
        weights(i, lfacteur, lw, &ls, &ligk);
        for (int j = 0; j < NBcol_out; j++) {
            weights(j, cfacteur, cw, &cs, &colk);
            double accum = 0.0;
            for (int a = 0; a <= ligk; a++)
                for (int b = 0; b <= colk; b++) {
                    int r = ls + a, c = cs + b;
                    if (0 < r && r < NBlig_in && 0 < c && c < NBcol_in)
                        accum = (double)((ext)lw[a] * (ext)cw[b] * (ext)tabin[r][c] + (ext)accum);
                }
            accum = (double)((ext)accum / (ext)area);
            if (!(accum > 0)) accum = std::fabs(accum);
            tabout[i][j] = accum;
        }
    }
}

// Gap filling (two passes), two 3x3 mean passes and the clamp, in place.
static void fill_smooth_clamp(Grid<double> &tabout, Grid<double> &dtab, int NBlig_out,
                              int NBcol_out, bool first_pass_only) {
    static const int di[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
    static const int dj[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

    // first filling pass: interior, non-empty neighbours only, in place
    for (int i = 1; i <= NBlig_out - 2; i++)
        for (int j = 1; j <= NBcol_out - 2; j++) {
            if (tabout[i][j] != 0.0) continue;
            double dval = 0.0;
            int ico = 0;
            for (int n = 0; n < 8; n++) {
                double v = tabout[i + di[n]][j + dj[n]];
                if (v != 0.0) {
                    ico++;
                    dval = (double)((ext)dval + (ext)v);
                }
            }
            if (ico > 0) tabout[i][j] = (double)((ext)dval / (ext)ico);
        }
    if (first_pass_only) return;

    // second filling pass: every cell, all neighbours inside the grid, in place
    for (int i = 0; i < NBlig_out; i++)
        for (int j = 0; j < NBcol_out; j++) {
            if (tabout[i][j] != 0.0) continue;
            double dval = 0.0;
            int ico = 0;
            for (int n = 0; n < 8; n++) {
                int l = i + di[n], k = j + dj[n];
                if (l >= 0 && l <= NBlig_out - 1 && k >= 0 && k <= NBcol_out - 1) {
                    ico++;
                    dval = (double)((ext)dval + (ext)tabout[l][k]);
                }
            }
            tabout[i][j] = (double)((ext)dval / (ext)ico);
        }

    // two 3x3 mean passes over the interior; the sum is multiplied by 1/9 rounded to double
    const double c9 = 0.1111111111111111;
    for (int pass = 0; pass < 2; pass++) {
        for (auto &row : dtab)
            for (double &v : row) v = 0.0;
        for (int i = 1; i <= NBlig_out - 2; i++)
            for (int j = 1; j <= NBcol_out - 2; j++) {
                double dval = 0.0;
                for (int l = i - 1; l <= i + 1; l++)
                    for (int k = j - 1; k <= j + 1; k++)
                        dval = (double)((ext)dval + (ext)tabout[l][k]);
                dtab[i][j] = (double)((ext)dval * (ext)c9);
            }
        for (int i = 1; i <= NBlig_out - 2; i++)
            for (int j = 1; j <= NBcol_out - 2; j++) tabout[i][j] = dtab[i][j];
    }

    // clamp of the interior to the input range
    for (int i = 1; i <= NBlig_out - 2; i++)
        for (int j = 1; j <= NBcol_out - 2; j++) {
            if (tabout[i][j] < dmin_alt) tabout[i][j] = dmin_alt;
            if (tabout[i][j] > dmax_alt) tabout[i][j] = dmax_alt;
        }
}

static int out_size(int n, double r) {
    return trunc_int((ext)n * (ext)r);  // product kept in extended precision, then truncated
}

static void treatment() {
    dmin_alt = 10000000.0;
    dmax_alt = 0.0;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            double v = dtab_in[i][j];
            if (dmin_alt > v) dmin_alt = v;
            if (dmax_alt < v) dmax_alt = v;
        }
    nb_lig4 = out_size(nb_lig, ratio);
    nb_col4 = out_size(nb_col, ratio);
    nb_lig2 = nb_lig + 4;
    nb_col2 = nb_col + 4;
    nb_lig3 = nb_lig4 + 4;
    nb_col3 = nb_col4 + 4;
    std::printf("\n\n\tThe resulting image will have : ");
    std::printf("\n\t\t%d lines and %d columns ", nb_lig4, nb_col4);
    dtab_prov1 = matrice<double>(nb_col2, nb_lig2);
    for (auto &row : dtab_prov1)
        for (double &v : row) v = 0.0;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) dtab_prov1[i + 3][j + 3] = dtab_in[i][j];
    dtab_prov2 = matrice<double>(nb_col3, nb_lig3);
    for (auto &row : dtab_prov2)
        for (double &v : row) v = 0.0;
    transf(dtab_prov1, dtab_prov2, nb_lig2, nb_col2, nb_lig3, nb_col3);
}

// ---------------------------------------------------------------- run control
static void parameters() {
    double pix_size_in = 0.0;
    std::printf("\n\tParameters : ");
    std::printf("\n\t\tpixel size in  ? ");
    read_double(&pix_size_in);
    std::printf("\t\tpixel size out ? ");
    read_double(&pix_size_out);
    ratio = (double)((ext)pix_size_in / (ext)pix_size_out);
    std::printf("\n\tresulting ratio = %lf ", ratio);
}

static void framed(const char *text) {
    std::string s(text);
    s.resize(60, ' ');
    std::printf("\n\t*%s*", s.c_str());
}

static void opening() {
    std::string nomdir, nomfic1, nomfic, nomim1, nomdescr1, nomim2, nomdescr2;
    int rep = 0, val = 0;

    std::printf("\n\n\t**************************************************************");
    framed("");
    framed("                     DEM VARNEL");
    framed("");
    framed("");
    framed("");
    framed("");
    framed("    Changes the pixel size of a digital elevation model");
    framed("    by area-weighted averaging, gap filling and smoothing");
    framed("");
    framed("    Raw 16/32-bit rasters with descriptor, or ASCII grids");
    framed("");
    framed("");
    std::printf("\n\t**************************************************************");

    nomim1 = "c:\\images\\";
    std::printf("\n\n\tName of the File Folder located in the Directory %s : ", nomim1.c_str());
    read_word(&nomdir);
    nomim1 += nomdir;
    nomim1 += "\\";
    nomim2 = nomim1;

    std::printf("\n\n\tName of DEM File (without any extension) ? ");
    read_word(&nomfic1);
    nomim1 += nomfic1;

    do {
        std::printf("\n\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t");
        read_int(&format);
    } while (format > 1);

    if (format == 1) {
        do {
            std::printf("\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t");
            read_int(&itype);
        } while (itype > 1);
        nomdescr1 = nomim1;
        if (itype == 0) {
            nomim1 += "_m2.raw";
            nomdescr1 += "_m2.txt";
        } else {
            nomim1 += "_m4.raw";
            nomdescr1 += "_m4.txt";
        }
        f1 = std::fopen(host_path(nomim1).c_str(), "rb");
        if (!f1) {
            std::printf("\n File %s unknown\n", nomim1.c_str());
            key_wait();
            std::exit(0);
        }
        f1d = std::fopen(host_path(nomdescr1).c_str(), "r");
        if (f1d) {
            (void)std::fscanf(f1d, "%d%d%d%d%d%d", &nb_lig, &nb_col, &val, &mind, &maxd, &pix_size);
            descr_OK = true;
            std::fclose(f1d);
            f1d = nullptr;
        } else {
            std::printf("\n No File %s \n\n", nomdescr1.c_str());
            f1d = std::fopen(host_path(nomdescr1).c_str(), "w");
            if (!f1d) {
                std::fprintf(stderr, "literal_model: cannot create %s\n", nomdescr1.c_str());
                std::exit(6);
            }
            std::printf("\n\tNumber of lines   ? ");
            read_int(&nb_lig);
            std::printf("\n\tNumber of columns ? ");
            read_int(&nb_col);
            std::printf("\n\tPixel size ? ");
            read_int(&pix_size);
            val = itype == 0 ? 2 : 4;
            std::fprintf(f1d, "%d\n%d\n%d\n", nb_lig, nb_col, val);
            descr_OK = false;
        }
        if (pix_size == 0) {
            std::printf("\n\n\tPixel Size (in meters) ? ");
            read_int(&pix_size);
        }
        dpix_size = (double)pix_size;
        dem_lecture();
    } else if (format == 0) {
        nomim1 += ".asc";
        f1 = std::fopen(host_path(nomim1).c_str(), "r");
        if (!f1) {
            std::printf("\n File %s unknown\n", nomim1.c_str());
            key_wait();
            std::exit(0);
        }
        ascii_lecture();
        std::printf("\n");
    }

    std::printf("\n\tTHE ORIGINAL DEM HAS : ");
    std::printf("\n\t            %d LINES", nb_lig);
    std::printf("\n\t        AND %d COLUMNS", nb_col);

    do {
        std::printf("\n\n\t0 -----> Use of the generic name %s ? ", nomfic1.c_str());
        std::printf("\n\t1 -----> Creation of a new File ? \n\t");
        read_int(&rep);
    } while (rep != 0 && rep != 1);
    if (rep == 0) {
        nomfic = nomfic1;
    } else {
        std::printf("\n\n\tName of the DEM out (without any extension) ? ");
        read_word(&nomfic);
    }
    nomim2 += nomfic;

    do {
        std::printf("\n\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t");
        read_int(&format2);
    } while (format2 > 1);

    if (format2 == 1) {
        do {
            std::printf("\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t");
            read_int(&itype2);
        } while (itype2 > 1);
        nomdescr2 = nomim2;
        if (itype2 == 0) {
            nomim2 += "_varnel_m2.raw";
            nomdescr2 += "_varnel_m2.txt";
        } else {
            nomim2 += "_varnel_m4.raw";
            nomdescr2 += "_varnel_m4.txt";
        }
        f2 = std::fopen(host_path(nomim2).c_str(), "wb");
        f2d = std::fopen(host_path(nomdescr2).c_str(), "w");
        if (!f2 || !f2d) {
            std::fprintf(stderr, "literal_model: cannot create %s\n", nomim2.c_str());
            std::exit(6);
        }
    } else if (format2 == 0) {
        nomim2 += "_varnel.asc";
        f2 = std::fopen(host_path(nomim2).c_str(), "w");
        if (!f2) {
            std::fprintf(stderr, "literal_model: cannot create %s\n", nomim2.c_str());
            std::exit(6);
        }
    }
}

// ---------------------------------------------------------------- self-check of worked examples
static int failures = 0;
static void expect(bool ok, const char *what) {
    std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) failures++;
}
static bool near(double a, double b, double tol = 1e-12) { return std::fabs(a - b) <= tol; }

static int selfcheck() {
    double w[NW];
    int s, k;
    double f;

    // ratio and output sizes
    double r = (double)((ext)30.0 / (ext)50.0);
    expect(out_size(100, r) == 59, "100 lines at pixel sizes 30 and 50 give 59 lines");
    expect((int)(100 * r) == 60, "  (a product rounded to double would give 60)");
    r = (double)((ext)3.0 / (ext)10.0);
    expect(out_size(10, r) == 2, "10 lines at pixel sizes 3 and 10 give 2 lines");
    expect(out_size(101, 0.5) == 50, "101 lines at ratio 0.5 give 50");
    expect(out_size(21, r) == 6 && out_size(6, 3.5) == 21,
           "21 lines at 0.3 give 6, 6 at 3.5 give 21");

    expect(bigger(2.0) == 3.0 && bigger(2.3) == 3.0 && bigger(0.0) == 1.0 && bigger(3.0) == 4.0 &&
               bigger(2.5) == 3.0,
           "bigger(2)=3, bigger(2.3)=3, bigger(0)=1, bigger(3)=4, bigger(2.5)=3");
    expect(0.1111111111111111 == 1.0 / 9.0, "smoothing constant is 1/9 rounded to double");

    // reduction table: 21 lines at 0.3 -> 25 padded in, 10 padded out, factor 2.5
    factors(25, 10, &f);
    expect(f == 2.5, "lfacteur = 25/10 = 2.5 exactly");
    struct Row {
        int i, ls, k;
        double w[4];
    } red[] = {{0, 0, 2, {1, 1, 0.5}},
               {1, 2, 3, {0.5, 1, 1, 0}},
               {2, 5, 2, {1, 1, 0.5}},
               {3, 7, 3, {0.5, 1, 1, 0}},
               {9, 22, 3, {0.5, 1, 1, 0}}};
    for (const Row &row : red) {
        weights(row.i, f, w, &s, &k);
        bool ok = s == row.ls && k == row.k;
        for (int n = 0; ok && n <= k; n++) ok = w[n] == row.w[n];
        char msg[128];
        std::snprintf(msg, sizeof msg, "reduction weights of padded line %d", row.i);
        expect(ok, msg);
    }

    // enlargement table: 6 lines at 3.5 -> 10 padded in, 25 padded out, factor ~0.4
    factors(10, 25, &f);
    expect(f == 0.4, "lfacteur = the double nearest 0.4");
    struct Row2 {
        int i, ls;
        double w0, w1;
    } enl[] = {{0, 0, 1, -0.6},   {1, 0, 0.6, -0.2},  {2, 0, 0.2, 0.2},
               {3, 1, 0.8, -0.4}, {4, 1, 0.4, 1e-16}, {5, 2, 1, -0.6}};
    for (const Row2 &row : enl) {
        weights(row.i, f, w, &s, &k);
        bool ok = s == row.ls && k == 1 && near(w[0], row.w0) && near(w[1], row.w1, 1e-12);
        char msg[128];
        std::snprintf(msg, sizeof msg, "enlargement weights of padded line %d: %.17g %.17g", row.i,
                      w[0], w[1]);
        expect(ok, msg);
    }
    weights(4, f, w, &s, &k);
    expect(w[1] > 0 && w[1] < 1e-15, "enlargement line 4 remainder is about 1e-16, positive");

    // ratio 1 copies cells to the same padded position, a negative one as its absolute value
    {
        const int L = 3, C = 4, NBl = L + 4, NBc = C + 4;
        Grid<double> in = matrice<double>(NBc, NBl), out = matrice<double>(NBc, NBl);
        double v = 1.25;
        for (int i = 0; i < L; i++)
            for (int j = 0; j < C; j++) in[i + 3][j + 3] = (v += 1.5);
        in[4][5] = -7.0;
        factors(NBl, NBl, &f);
        kernel(in, out, NBl, NBc, NBl, NBc, f, f, 1.0, false);
        bool ok = f == 1.0;
        for (int i = 0; i < NBl; i++)
            for (int j = 0; j < NBc; j++) ok = ok && out[i][j] == std::fabs(in[i][j]);
        expect(ok, "ratio 1: the kernel copies every cell (|-7| = 7), margins 0");
    }
    // reduction 21 x 21 at 0.3 over a constant h
    {
        const double h = 10.0;
        Grid<double> in = matrice<double>(25, 25), out = matrice<double>(10, 10);
        for (int i = 3; i < 24; i++)
            for (int j = 3; j < 24; j++) in[i][j] = h;
        factors(25, 10, &f);
        kernel(in, out, 25, 25, 10, 10, f, f, (double)((ext)f * f), false);
        bool ok = true;
        for (int j = 2; j <= 8; j++)
            ok = ok && near(out[1][j], 0.8 * h) && near(out[9][j], 0.6 * h) && out[0][j] == 0.0 &&
                 near(out[5][j], h);
        expect(ok,
               "reduction by 2.5 of a constant h: line 0 0, line 1 0.8h, line 9 0.6h, inside h");
    }
    // enlargement 6 x 6 at 3.5 over a constant h
    {
        const double h = 10.0;
        Grid<double> in = matrice<double>(10, 10), out = matrice<double>(25, 25);
        for (int i = 3; i < 9; i++)
            for (int j = 3; j < 9; j++) in[i][j] = h;
        factors(10, 25, &f);
        kernel(in, out, 10, 10, 25, 25, f, f, (double)((ext)f * f), false);
        expect(near(out[5][10], 1.5 * h, 1e-9) && near(out[10][10], h, 1e-9),
               "enlargement by 2.5 of a constant h: cell [5][10] about 1.5h, [10][10] about h");
    }
    // one spike in a flat field after filling, two smoothing passes and the clamp
    {
        const double h = 10.0, sp = 100.0;
        Grid<double> g = matrice<double>(15, 15), scratch = matrice<double>(15, 15);
        for (auto &row : g)
            for (double &x : row) x = h;
        g[7][7] = sp;
        dmin_alt = 0.0;
        dmax_alt = 1000.0;
        fill_smooth_clamp(g, scratch, 15, 15);
        expect(near(g[7][7], h + (sp - h) / 9, 1e-9) && near(g[5][5], h + (sp - h) / 81, 1e-9) &&
                   near(g[6][7], h + (sp - h) * 6 / 81, 1e-9) && near(g[4][7], h, 1e-9),
               "spike spreads over 5 x 5 with weights (1,2,3,2,1)^2/81");
    }
    // first filling pass: neighbours 2, 4, 6 holding 10, 20, 30 give 20
    {
        Grid<double> g = matrice<double>(3, 3), scratch = matrice<double>(3, 3);
        g[0][1] = 10;
        g[1][2] = 20;
        g[2][1] = 30;
        fill_smooth_clamp(g, scratch, 3, 3, true);
        expect(g[1][1] == 20.0,
               "an empty cell with neighbours 10, 20, 30 above, right, below becomes 20");
    }

    std::printf("%d failure(s)\n", failures);
    return failures ? 1 : 0;
}

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--selfcheck") == 0) return selfcheck();
    opening();
    parameters();
    treatment();
    save();
    return 0;
}
