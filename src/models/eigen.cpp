// Eigen decomposition of a rate matrix (EISPACK ELMHES, ELTRAN, HQR2) and
// the inverse of the eigenvector matrix, with their accuracy checks.
#include "models/substmod.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <utility>

#include "sequence/fatal.h"
#include "sequence/util.h"

namespace {

// EISPACK's sign transfer: |a| with the sign of b (b rounded to float).
inline double sign_of(double a, double b) {
    return sp_isnegative(b) ? -std::fabs(a) : std::fabs(a);
}

// Owner of a block from std::malloc.
struct c_free {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

// Reduction to upper Hessenberg form by stabilised elementary similarity
// transformations (EISPACK ELMHES, low = 1, high = n). Indices in the
// comments and in perm are 1-based.
void substmodel::elmhes(double** a, int* perm, int n) {
    auto A = [a](int i, int j) -> double& { return a[i - 1][j - 1]; };
    for (int i = 0; i < n; ++i) perm[i] = 0;
    for (int m = 2; m <= n - 1; ++m) {
        const int mm1 = m - 1;
        double x = 0.0;
        int i = m;
        for (int j = m; j <= n; ++j) {
            if (std::fabs(A(j, mm1)) > std::fabs(x)) {
                x = A(j, mm1);
                i = j;
            }
        }
        perm[m - 1] = i;
        if (i != m) {
            for (int j = mm1; j <= n; ++j) std::swap(A(i, j), A(m, j));
            for (int j = 1; j <= n; ++j) std::swap(A(j, i), A(j, m));
        }
        if (sp_iszero(x)) continue;
        for (int ii = m + 1; ii <= n; ++ii) {
            double y = A(ii, mm1);
            if (sp_iszero(y)) continue;
            y = y / x;
            A(ii, mm1) = y;
            for (int j = m; j <= n; ++j) A(ii, j) = A(ii, j) - y * A(m, j);
            for (int j = 1; j <= n; ++j) A(j, m) = A(j, m) + y * A(j, ii);
        }
    }
}

// Accumulates the transformations of elmhes into evecs (EISPACK ELTRAN).
void substmodel::eltran(double** a, int* perm, int n) {
    decomposition_changed();
    if (evecs.size() != n) evecs.resize(n);
    auto A = [a](int i, int j) -> double& { return a[i - 1][j - 1]; };
    auto Z = [this](int i, int j) -> double& { return evecs[i - 1][j - 1]; };
    for (int j = 1; j <= n; ++j) {
        for (int i = 1; i <= n; ++i) Z(i, j) = 0.0;
        Z(j, j) = 1.0;
    }
    const int kl = n - 2;
    for (int mm = 1; mm <= kl; ++mm) {
        const int mp = n - mm;
        for (int i = mp + 1; i <= n; ++i) Z(i, mp) = A(i, mp - 1);
        const int i = perm[mp - 1];
        if (i == mp) continue;
        for (int j = mp; j <= n; ++j) {
            Z(mp, j) = Z(i, j);
            Z(i, j) = 0.0;
        }
        Z(i, mp) = 1.0;
    }
}

void substmodel::mcdiv(double ar, double ai, double br, double bi, double* cr, double* ci) {
    const double s = std::fabs(br) + std::fabs(bi);
    const double ars = ar / s;
    const double ais = ai / s;
    const double brs = br / s;
    const double bis = bi / s;
    const double d = brs * brs + bis * bis;
    *cr = (ars * brs + ais * bis) / d;
    *ci = (ais * brs - ars * bis) / d;
}

// Eigenvalues and eigenvectors of the Hessenberg matrix a by the shifted
// double-step QR algorithm (EISPACK HQR2); vectors go to evecs, real parts
// to evals, imaginary parts to wi. Indices are 1-based.
void substmodel::hqr2(int n, int low, int high, double** a, double* wi_) {
    decomposition_changed();
    if (evecs.size() != n) evecs.resize(n);
    if (evals.size() != static_cast<std::size_t>(n)) evals.assign(n, 0.0);
    auto H = [a](int i, int j) -> double& { return a[i - 1][j - 1]; };
    auto Z = [this](int i, int j) -> double& { return evecs[i - 1][j - 1]; };
    auto WR = [this](int i) -> double& { return evals[i - 1]; };
    auto WI = [wi_](int i) -> double& { return wi_[i - 1]; };

    double p = 0.0, q = 0.0, r = 0.0, s = 0.0, t = 0.0, w = 0.0, x = 0.0, y = 0.0, zz = 0.0;
    double norm = 0.0;
    int k = 1;
    for (int i = 1; i <= n; ++i) {
        for (int j = k; j <= n; ++j) norm += std::fabs(H(i, j));
        k = i;
        if (i >= low && i <= high) continue;
        WR(i) = H(i, i);
        WI(i) = 0.0;
    }

    int en = high;
    long itn = 1000L * n;
    while (en >= low) {
        int its = 0;
        int na = en - 1;
        const int enm2 = na - 1;
        for (;;) {
            // Look for a single small subdiagonal element.
            int l;
            for (l = en; l > low; --l) {
                s = std::fabs(H(l - 1, l - 1)) + std::fabs(H(l, l));
                if (sp_iszero(s)) s = norm;
                const double tst1 = s;
                const double tst2 = tst1 + std::fabs(H(l, l - 1));
                if (tst2 == tst1) break;
            }
            x = H(en, en);
            if (l == en) {
                // One root found.
                H(en, en) = x + t;
                WR(en) = H(en, en);
                WI(en) = 0.0;
                en = na;
                break;
            }
            y = H(na, na);
            w = H(en, na) * H(na, en);
            if (l == na) {
                // Two roots found.
                p = (y - x) / 2.0;
                q = p * p + w;
                zz = std::sqrt(std::fabs(q));
                H(en, en) = x + t;
                x = H(en, en);
                H(na, na) = y + t;
                if (!sp_isnegative(q)) {
                    // Real pair.
                    zz = p + sign_of(zz, p);
                    WR(na) = x + zz;
                    WR(en) = WR(na);
                    if (!sp_iszero(zz)) WR(en) = x - w / zz;
                    WI(na) = 0.0;
                    WI(en) = 0.0;
                    x = H(en, na);
                    s = std::fabs(x) + std::fabs(zz);
                    p = x / s;
                    q = zz / s;
                    r = std::sqrt(p * p + q * q);
                    p = p / r;
                    q = q / r;
                    for (int j = na; j <= n; ++j) {
                        zz = H(na, j);
                        H(na, j) = q * zz + p * H(en, j);
                        H(en, j) = q * H(en, j) - p * zz;
                    }
                    for (int i = 1; i <= en; ++i) {
                        zz = H(i, na);
                        H(i, na) = q * zz + p * H(i, en);
                        H(i, en) = q * H(i, en) - p * zz;
                    }
                    for (int i = low; i <= high; ++i) {
                        zz = Z(i, na);
                        Z(i, na) = q * zz + p * Z(i, en);
                        Z(i, en) = q * Z(i, en) - p * zz;
                    }
                } else {
                    // Complex pair.
                    WR(na) = x + p;
                    WR(en) = x + p;
                    WI(na) = zz;
                    WI(en) = -zz;
                }
                en = enm2;
                break;
            }
            if (itn == 0) fatal("\n\n\nHALT: PLEASE REPORT ERROR B TO DEVELOPERS\n\n\n");
            if (its == 10 || its == 20) {
                // Exceptional shift.
                t = t + x;
                for (int i = low; i <= en; ++i) H(i, i) = H(i, i) - x;
                s = std::fabs(H(en, na)) + std::fabs(H(na, enm2));
                x = 0.75 * s;
                y = x;
                w = -0.4375 * s * s;
            }
            ++its;
            --itn;
            // Look for two consecutive small subdiagonal elements.
            int m;
            for (m = enm2; m >= l; --m) {
                zz = H(m, m);
                r = x - zz;
                s = y - zz;
                p = (r * s - w) / H(m + 1, m) + H(m, m + 1);
                q = H(m + 1, m + 1) - zz - r - s;
                r = H(m + 2, m + 1);
                s = std::fabs(p) + std::fabs(q) + std::fabs(r);
                p = p / s;
                q = q / s;
                r = r / s;
                if (m == l) break;
                const double tst1 = std::fabs(p) * (std::fabs(H(m - 1, m - 1)) + std::fabs(zz) +
                                                    std::fabs(H(m + 1, m + 1)));
                const double tst2 = tst1 + std::fabs(H(m, m - 1)) * (std::fabs(q) + std::fabs(r));
                if (tst2 == tst1) break;
            }
            const int mp2 = m + 2;
            for (int i = mp2; i <= en; ++i) {
                H(i, i - 2) = 0.0;
                if (i == mp2) continue;
                H(i, i - 3) = 0.0;
            }
            // Double QR step on rows l to en and columns m to en.
            for (int kk = m; kk <= na; ++kk) {
                const bool notlas = kk != na;
                if (kk != m) {
                    p = H(kk, kk - 1);
                    q = H(kk + 1, kk - 1);
                    r = 0.0;
                    if (notlas) r = H(kk + 2, kk - 1);
                    x = std::fabs(p) + std::fabs(q) + std::fabs(r);
                    if (sp_iszero(x)) continue;
                    p = p / x;
                    q = q / x;
                    r = r / x;
                }
                s = sign_of(std::sqrt(p * p + q * q + r * r), p);
                if (kk != m) H(kk, kk - 1) = -s * x;
                else if (l != m) H(kk, kk - 1) = -H(kk, kk - 1);
                p = p + s;
                x = p / s;
                y = q / s;
                zz = r / s;
                q = q / p;
                r = r / p;
                const int jmax = (en < kk + 3) ? en : kk + 3;
                if (!notlas) {
                    for (int j = kk; j <= n; ++j) {
                        p = H(kk, j) + q * H(kk + 1, j);
                        H(kk, j) = H(kk, j) - p * x;
                        H(kk + 1, j) = H(kk + 1, j) - p * y;
                    }
                    for (int i = 1; i <= jmax; ++i) {
                        p = x * H(i, kk) + y * H(i, kk + 1);
                        H(i, kk) = H(i, kk) - p;
                        H(i, kk + 1) = H(i, kk + 1) - p * q;
                    }
                    for (int i = low; i <= high; ++i) {
                        p = x * Z(i, kk) + y * Z(i, kk + 1);
                        Z(i, kk) = Z(i, kk) - p;
                        Z(i, kk + 1) = Z(i, kk + 1) - p * q;
                    }
                } else {
                    for (int j = kk; j <= n; ++j) {
                        p = H(kk, j) + q * H(kk + 1, j) + r * H(kk + 2, j);
                        H(kk, j) = H(kk, j) - p * x;
                        H(kk + 1, j) = H(kk + 1, j) - p * y;
                        H(kk + 2, j) = H(kk + 2, j) - p * zz;
                    }
                    for (int i = 1; i <= jmax; ++i) {
                        p = x * H(i, kk) + y * H(i, kk + 1) + zz * H(i, kk + 2);
                        H(i, kk) = H(i, kk) - p;
                        H(i, kk + 1) = H(i, kk + 1) - p * q;
                        H(i, kk + 2) = H(i, kk + 2) - p * r;
                    }
                    for (int i = low; i <= high; ++i) {
                        p = x * Z(i, kk) + y * Z(i, kk + 1) + zz * Z(i, kk + 2);
                        Z(i, kk) = Z(i, kk) - p;
                        Z(i, kk + 1) = Z(i, kk + 1) - p * q;
                        Z(i, kk + 2) = Z(i, kk + 2) - p * r;
                    }
                }
            }
        }
    }

    // Back-substitution for the vectors of the triangular form.
    if (sp_iszero(norm)) return;
    for (en = n; en >= 1; --en) {
        p = WR(en);
        q = WI(en);
        const int na = en - 1;
        if (sp_isnegative(q)) {
            // Complex vector.
            int m = na;
            if (std::fabs(H(en, na)) > std::fabs(H(na, en))) {
                H(na, na) = q / H(en, na);
                H(na, en) = -(H(en, en) - p) / H(en, na);
            } else {
                mcdiv(0.0, -H(na, en), H(na, na) - p, q, &H(na, na), &H(na, en));
            }
            H(en, na) = 0.0;
            H(en, en) = 1.0;
            const int enm2 = na - 1;
            for (int i = enm2; i >= 1; --i) {
                w = H(i, i) - p;
                double ra = 0.0, sa = 0.0;
                for (int j = m; j <= en; ++j) {
                    ra = ra + H(i, j) * H(j, na);
                    sa = sa + H(i, j) * H(j, en);
                }
                if (sp_isnegative(WI(i))) {
                    zz = w;
                    r = ra;
                    s = sa;
                    continue;
                }
                m = i;
                if (sp_iszero(WI(i))) {
                    mcdiv(-ra, -sa, w, q, &H(i, na), &H(i, en));
                } else {
                    x = H(i, i + 1);
                    y = H(i + 1, i);
                    double vr = (WR(i) - p) * (WR(i) - p) + WI(i) * WI(i) - q * q;
                    double vi = (WR(i) - p) * 2.0 * q;
                    if (sp_iszero(vr) && sp_iszero(vi)) {
                        const double tst1 = norm * (std::fabs(w) + std::fabs(q) + std::fabs(x) +
                                                    std::fabs(y) + std::fabs(zz));
                        vr = tst1;
                        double tst2;
                        do {
                            vr = 0.01 * vr;
                            tst2 = tst1 + vr;
                        } while (tst2 > tst1);
                    }
                    mcdiv(x * r - zz * ra + q * sa, x * s - zz * sa - q * ra, vr, vi, &H(i, na),
                          &H(i, en));
                    if (std::fabs(x) > std::fabs(zz) + std::fabs(q)) {
                        H(i + 1, na) = (-ra - w * H(i, na) + q * H(i, en)) / x;
                        H(i + 1, en) = (-sa - w * H(i, en) - q * H(i, na)) / x;
                    } else {
                        mcdiv(-r - y * H(i, na), -s - y * H(i, en), zz, q, &H(i + 1, na),
                              &H(i + 1, en));
                    }
                }
                // Overflow control.
                const double tt = std::fmax(std::fabs(H(i, na)), std::fabs(H(i, en)));
                if (sp_iszero(tt)) continue;
                const double tst1 = tt;
                const double tst2 = tst1 + 1.0 / tst1;
                if (tst2 > tst1) continue;
                for (int j = i; j <= en; ++j) {
                    H(j, na) = H(j, na) / tt;
                    H(j, en) = H(j, en) / tt;
                }
            }
        } else if (sp_iszero(q)) {
            // Real vector.
            int m = en;
            H(en, en) = 1.0;
            for (int i = na; i >= 1; --i) {
                w = H(i, i) - p;
                r = 0.0;
                for (int j = m; j <= en; ++j) r = r + H(i, j) * H(j, en);
                if (sp_isnegative(WI(i))) {
                    zz = w;
                    s = r;
                    continue;
                }
                m = i;
                if (sp_iszero(WI(i))) {
                    t = w;
                    if (sp_iszero(t)) {
                        const double tst1 = norm;
                        t = tst1;
                        double tst2;
                        do {
                            t = 0.01 * t;
                            tst2 = norm + t;
                        } while (tst2 > tst1);
                    }
                    H(i, en) = -r / t;
                } else {
                    // Solve the real equations.
                    x = H(i, i + 1);
                    y = H(i + 1, i);
                    q = (WR(i) - p) * (WR(i) - p) + WI(i) * WI(i);
                    t = (x * s - zz * r) / q;
                    H(i, en) = t;
                    if (std::fabs(x) > std::fabs(zz)) H(i + 1, en) = (-r - w * t) / x;
                    else H(i + 1, en) = (-s - y * t) / zz;
                }
                // Overflow control.
                t = std::fabs(H(i, en));
                if (sp_iszero(t)) continue;
                const double tst1 = t;
                const double tst2 = tst1 + 1.0 / tst1;
                if (tst2 > tst1) continue;
                for (int j = i; j <= en; ++j) H(j, en) = H(j, en) / t;
            }
        }
    }

    // Vectors of isolated roots.
    for (int i = 1; i <= n; ++i) {
        if (i >= low && i <= high) continue;
        for (int j = i; j <= n; ++j) Z(i, j) = H(i, j);
    }
    // Back-transformation to the vectors of the full matrix.
    for (int j = n; j >= low; --j) {
        const int m = (j < high) ? j : high;
        for (int i = low; i <= high; ++i) {
            zz = 0.0;
            for (int kk = low; kk <= m; ++kk) zz = zz + Z(i, kk) * H(kk, j);
            Z(i, j) = zz;
        }
    }
}

// Inverse of evecs by Crout's LU decomposition with implicit partial
// pivoting, column by column.
void substmodel::luinverse() {
    decomposition_changed();
    const int n = evecs.size();
    if (ievecs.size() != n) ievecs.resize(n);
    const scratch_ptr<int> indx_held(new_ivector(n));
    const scratch_ptr<double*> a_held(new_dmatrix(n, n));
    const std::unique_ptr<double, c_free> vv_held(
        static_cast<double*>(std::malloc(sizeof(double) * (n > 0 ? n : 1))));
    if (!vv_held) maerror("step 1 in luinverse");
    int* const indx = indx_held.get();
    double** const a = a_held.get();
    double* const vv = vv_held.get();
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) a[i][j] = evecs[i][j];

    for (int i = 0; i < n; ++i) {
        double big = 0.0;
        for (int j = 0; j < n; ++j) {
            const double temp = std::fabs(a[i][j]);
            if (temp > big) big = temp;
        }
        if (sp_iszero(big)) fatal("\n\n\nHALT: PLEASE REPORT ERROR C TO DEVELOPERS\n\n\n");
        vv[i] = 1.0 / big;
    }
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < j; ++i) {
            double sum = a[i][j];
            for (int k = 0; k < i; ++k) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
        }
        double big = 0.0;
        int imax = j;
        for (int i = j; i < n; ++i) {
            double sum = a[i][j];
            for (int k = 0; k < j; ++k) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
            const double dum = vv[i] * std::fabs(sum);
            if (dum >= big) {
                big = dum;
                imax = i;
            }
        }
        if (j != imax) {
            for (int k = 0; k < n; ++k) std::swap(a[imax][k], a[j][k]);
            vv[imax] = vv[j];
        }
        indx[j] = imax;
        if (sp_iszero(a[j][j])) a[j][j] = 1e-20;
        if (j != n - 1) {
            const double dum = 1.0 / a[j][j];
            for (int i = j + 1; i < n; ++i) a[i][j] *= dum;
        }
    }

    double* b = vv;
    for (int c = 0; c < n; ++c) {
        for (int i = 0; i < n; ++i) b[i] = (i == c) ? 1.0 : 0.0;
        int first = -1;  // first row with a non-zero entry, none yet
        for (int i = 0; i < n; ++i) {
            const int ip = indx[i];
            double sum = b[ip];
            b[ip] = b[i];
            if (first >= 0) {
                for (int k = first; k <= i - 1; ++k) sum -= a[i][k] * b[k];
            } else if (!sp_iszero(sum)) {
                first = i;
            }
            b[i] = sum;
        }
        for (int i = n - 1; i >= 0; --i) {
            double sum = b[i];
            for (int k = i + 1; k < n; ++k) sum -= a[i][k] * b[k];
            b[i] = sum / a[i][i];
        }
        for (int i = 0; i < n; ++i) ievecs[i][c] = b[i];
    }
}

void substmodel::checkevector() {
    const int n = evecs.size();
    const scratch_ptr<double*> m_held(new_dmatrix(n, n));
    double** const m = m_held.get();
    bool bad = false;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = 0.0;
            for (int k = 0; k < n; ++k) s += evecs[i][k] * ievecs[k][j];
            m[i][j] = s;
            if (std::fabs(i == j ? s - 1.0 : s) > 0.00001) bad = true;
        }
    if (bad) warn("\nWARNING: Inversion of eigenvector matrix not perfect!\n");
}
