// The engine written out literally: fixed order of every operation, each intermediate a
// long double, each store a double; no caching, no fusion, no vectors.
#include "reference_engine.h"

#include <cmath>
#include <vector>

namespace reference {
namespace {

using ld = long double;

double bigger(double x) {
    const double c = std::ceil(x);
    return c == x ? static_cast<double>(static_cast<ld>(x) + 1.0L) : c;
}

int weights(int index, double factor, std::vector<double>& w, int& start) {
    const ld position = static_cast<ld>(index) * factor;
    const double p = static_cast<double>(position);
    w[0] = static_cast<double>(static_cast<ld>(bigger(p)) - position);
    start = static_cast<int>(std::floor(p));
    double xf = static_cast<double>(static_cast<ld>(factor) - w[0]);
    int n = 1;
    while (xf >= 1.0) {
        w[n++] = 1.0;
        xf = static_cast<double>(static_cast<ld>(xf) - 1.0L);
    }
    w[n] = xf;
    return n;
}

const int di[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
const int dj[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

}  // namespace

void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, double lowest, double highest) {
    const double lf =
        static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBlig_out) / NBlig_in));
    const double cf =
        static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBcol_out) / NBcol_in));
    const double area = static_cast<double>(static_cast<ld>(lf) * cf);
    std::vector<double> lw(static_cast<std::size_t>(lf) + 3), cw(static_cast<std::size_t>(cf) + 3);
    for (int i = 0; i < NBlig_out; ++i) {
        int ls, cs;
        const int ligk = weights(i, lf, lw, ls);
        for (int j = 0; j < NBcol_out; ++j) {
            const int colk = weights(j, cf, cw, cs);
            double accum = 0.0;
            for (int a = 0; a <= ligk; ++a)
                for (int b = 0; b <= colk; ++b) {
                    const int r = ls + a, c = cs + b;
                    if (0 < r && r < NBlig_in && 0 < c && c < NBcol_in)
                        accum = static_cast<double>(static_cast<ld>(lw[a]) * cw[b] * tabin[r][c] +
                                                    accum);
                }
            accum = static_cast<double>(static_cast<ld>(accum) / area);
            if (!(accum > 0)) accum = std::fabs(accum);
            tabout[i][j] = accum;
        }
    }
    const int L = NBlig_out, C = NBcol_out;
    for (int i = 1; i < L - 1; ++i)
        for (int j = 1; j < C - 1; ++j) {
            if (tabout[i][j] != 0.0) continue;
            double dval = 0.0;
            int ico = 0;
            for (int k = 0; k < 8; ++k) {
                const double v = tabout[i + di[k]][j + dj[k]];
                if (v != 0.0) {
                    ++ico;
                    dval = static_cast<double>(static_cast<ld>(dval) + v);
                }
            }
            if (ico > 0) tabout[i][j] = static_cast<double>(static_cast<ld>(dval) / ico);
        }
    for (int i = 0; i < L; ++i)
        for (int j = 0; j < C; ++j) {
            if (tabout[i][j] != 0.0) continue;
            double dval = 0.0;
            int ico = 0;
            for (int k = 0; k < 8; ++k) {
                const int l = i + di[k], c = j + dj[k];
                if (l >= 0 && l < L && c >= 0 && c < C) {
                    ++ico;
                    dval = static_cast<double>(static_cast<ld>(dval) + tabout[l][c]);
                }
            }
            tabout[i][j] = static_cast<double>(static_cast<ld>(dval) / ico);
        }
    std::vector<std::vector<double>> dtab(L, std::vector<double>(C, 0.0));
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 1; i < L - 1; ++i)
            for (int j = 1; j < C - 1; ++j) {
                double dval = 0.0;
                for (int l = i - 1; l <= i + 1; ++l)
                    for (int k = j - 1; k <= j + 1; ++k)
                        dval = static_cast<double>(static_cast<ld>(dval) + tabout[l][k]);
                dtab[i][j] = static_cast<double>(static_cast<ld>(dval) * 0.1111111111111111);
            }
        for (int i = 1; i < L - 1; ++i)
            for (int j = 1; j < C - 1; ++j) tabout[i][j] = dtab[i][j];
    }
    for (int i = 1; i < L - 1; ++i)
        for (int j = 1; j < C - 1; ++j) {
            if (tabout[i][j] < lowest) tabout[i][j] = lowest;
            if (tabout[i][j] > highest) tabout[i][j] = highest;
        }
}

}  // namespace reference
