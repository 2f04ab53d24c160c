// Forward rows of a window of the pair HMM, used by the forward tables and
// the linear-space alignment.
#ifndef QUILLMAR_PAIRWISE_FORWARD_ROWS_H
#define QUILLMAR_PAIRWISE_FORWARD_ROWS_H

#include "models/indel.h"
#include "pairwise/profalign.h"
#include "sequence/logspace.h"

// Forward rows. A cell holds (M, I, D) of position (i, j), stored at
// (j - j0) * 3.
struct forward_rows {
    const int* A;
    const int* B;
    int i0, j0, p, q, s;
    int s0;
    const double (*T)[5];
    emission_cache* em;

    // The start corner's row: insertions only.
    void first(double* row) const {
        for (int j = q; j <= s; ++j) {
            double* c = row + (j - j0) * 3;
            const double eI = em->f(B[j]);
            if (j == q) c[1] = eI + T[s0][INSERTION];
            else c[1] = eI + c[-2] + T[INSERTION][INSERTION];
        }
    }

    void next(int i, const double* prev, double* row) const { band(i, 1, prev, &row); }

    // Rows i .. i + n - 1 (n <= 2) from the row above i, cell (i + k, t - k)
    // at step t: the sums of a step's inner cells are computed together.
    void band(int i, int n, const double* above, double* const* rows) const {
        for (int k = 0; k < n; ++k) {
            const double* up = k > 0 ? rows[k - 1] : above;
            const double fa = em->f(A[i + k]);
            if (i + k == p) rows[k][2] = fa + T[s0][DELETION];
            else rows[k][2] = fa + up[2] + T[DELETION][DELETION];
        }
        for (int t = q; t <= s + n - 1; ++t) {
            double x[6], y[6], z[6], u[6], w[6];
            double* at[2];
            int ia[2], jb[2], g = 0;
            for (int k = 0; k < n; ++k) {
                const int j = t - k;
                if (j < q || j > s) continue;
                const double* up = k > 0 ? rows[k - 1] : above;
                if (i + k == p || j == q) {
                    border(i + k, j, up, rows[k]);
                    continue;
                }
                terms(j, up, rows[k], x + 3 * g, y + 3 * g, z + 3 * g);
                at[g] = rows[k] + (j - j0) * 3;
                ia[g] = A[i + k];
                jb[g] = B[j];
                ++g;
            }
            if (g == 2) {
                addlog_each<6>(x, y, u);
                addlog_each<6>(u, z, w);
            } else if (g == 1) {
                addlog_each<3>(x, y, u);
                addlog_each<3>(u, z, w);
            }
            for (int h = 0; h < g; ++h) {
                const double fa = em->f(ia[h]);
                at[h][0] = fa + em->p(ia[h], jb[h]) + w[3 * h];
                at[h][2] = fa + w[3 * h + 1];
                at[h][1] = em->f(jb[h]) + w[3 * h + 2];
            }
        }
    }

    // Terms of the three sums of an inner cell (i > p, j > q), in the order
    // M, D, I: the sum is addlog(addlog(x, y), z).
    void terms(int j, const double* up, const double* row, double* x, double* y, double* z) const {
        const double* pd = up + (j - 1 - j0) * 3;
        const double* pu = pd + 3;
        const double* pl = row + (j - 1 - j0) * 3;
        x[0] = pd[2] + T[DELETION][MATCH];
        y[0] = pd[0] + T[MATCH][MATCH];
        z[0] = pd[1] + T[INSERTION][MATCH];
        x[1] = pu[2] + T[DELETION][DELETION];
        y[1] = pu[0] + T[MATCH][DELETION];
        z[1] = pu[1] + T[INSERTION][DELETION];
        x[2] = pl[2] + T[DELETION][INSERTION];
        y[2] = pl[0] + T[MATCH][INSERTION];
        z[2] = pl[1] + T[INSERTION][INSERTION];
    }

    // A cell of the first row (i == p) or the first column (j == q).
    void border(int i, int j, const double* prev, double* row) const {
        const int a = A[i];
        const double fa = em->f(a);
        const int k = (j - j0) * 3;
        const int b = B[j];
        const double eM = fa + em->p(a, b);
        const double eI = em->f(b);
        const double* pd = prev + k - 3;
        const double* pu = prev + k;
        double* c = row + k;
        const double* pl = c - 3;
        if (i == p) {
            if (j == q) c[0] = eM + T[s0][MATCH];
            else c[0] = eM + pd[1] + T[INSERTION][MATCH];
            c[2] = fa + pu[1] + T[INSERTION][DELETION];
        } else {
            c[0] = eM + pd[2] + T[DELETION][MATCH];
            c[2] = fa + addlog(pu[2] + T[DELETION][DELETION], pu[0] + T[MATCH][DELETION],
                               pu[1] + T[INSERTION][DELETION]);
        }
        if (j == q) c[1] = eI + pl[2] + T[DELETION][INSERTION];
        else
            c[1] = eI + addlog(pl[2] + T[DELETION][INSERTION], pl[0] + T[MATCH][INSERTION],
                               pl[1] + T[INSERTION][INSERTION]);
    }
};

#endif
