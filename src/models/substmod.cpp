#include "models/substmod.h"

#include "sequence/random.h"
#include "sequence/util.h"

#include <cfloat>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <utility>

namespace {

constexpr double kNotCached = HUGE_VAL;
// Kept times, replaced first in, first out.
constexpr int kSlots = 64;
// Real recomputations of P before recent times are kept: a copy that is set
// to one branch time once never makes the table.
constexpr int kRecomputesBeforeSlots = 4;

bool is_given_freq_kind(int m) {
    return m == GENREV || m == TAMNEI || m == HKY || m == FEL81 || m == MV2000;
}

// EISPACK's sign transfer: |a| with the sign of b (b rounded to float).
inline double sign_of(double a, double b) { return sp_isnegative(b) ? -std::fabs(a) : std::fabs(a); }

}  // namespace

// ---------------------------------------------------------------------------
// Construction

void substmodel::size_storage() {
    ratemat.resize(alf);
    probmat.resize(alf);
    evecs.resize(alf);
    ievecs.resize(alf);
    expievecs.resize(alf);
    evals.assign(alf, 0.0);
}

void substmodel::check_freqs(const std::vector<double>& f, double& sum) const {
    if (f.size() != static_cast<std::size_t>(alf))
        fatal("The data type has ", alf, " states,\n", "yet there are only ", f.size(),
              " frequencies.\n");
    sum = 0.0;
    for (int i = 0; i < alf; ++i) {
        // NaN and infinity fail as well.
        if (!(f[i] >= DBL_MIN) || f[i] == HUGE_VAL)
            fatal("The frequency of at least one state is not positive.\n");
        sum += f[i];
    }
}

void substmodel::normalise(const std::vector<double>& f, double sum) {
    for (int i = 0; i < alf; ++i) freqs[i] = f[i] / sum;
}

void substmodel::default_params(int count, double value) { params.assign(count, value); }

substmodel::substmodel() : model(JC69), alf(4), logalf(alftologalf(4)), time(1.0) {
    freqs.assign(alf, 0.0);
    size_storage();
    tranprobmat();
    tprobmtrx();
}

substmodel::substmodel(alphsize a, subarch m, const std::vector<double>& f, const std::vector<double>& p)
    : model(m), alf(a), logalf(alftologalf(a)), time(1.0) {
    freqs.assign(alf, 0.0);
    double sum = 0.0;
    check_freqs(f, sum);
    size_storage();
    if (m < 0 || m > BLOSUM62) fatal("Unknown substitution model\n");
    switch (m) {
    case GENREV:
        if (p.size() == 6) {
            params = p;
        } else {
            warn("The general reversible model uses six rate parameters.\n",
                 "By default each rate is set to 1.0.\n");
            default_params(6, 1.0);
        }
        normalise(f, sum);
        break;
    case TAMNEI:
    case KIMURA3P:
        if (m == TAMNEI) normalise(f, sum);
        if (p.size() == 2) {
            params = p;
        } else {
            warn("The Tamura Nei and the K3P model use two rate parameters.\n",
                 "By default they are set to 0.5 and 1.0.\n");
            params = {0.5, 1.0};
        }
        break;
    case HKY:
    case KIMURA2P:
        if (m == HKY) normalise(f, sum);
        if (p.size() == 1) {
            params = p;
        } else {
            warn("The HKY and the K2P model use only one rate parameter.\n",
                 "The program will use the default value 0.5.\n");
            params = {0.5};
        }
        break;
    case FEL81:
    case JC69:
        if (m == FEL81) normalise(f, sum);
        if (!p.empty())
            warn("The Felsenstein model and the Jukes Cantor do not use\n",
                 "any rate parameters. They will be ignored!\n");
        params.clear();
        break;
    case MV2000:
        if (p.size() == 190) {
            params = p;
        } else {
            warn("The general reversible model for amino acids uses 190 rate parameters.\n",
                 "By default each rate is set to 1.0.\n");
            default_params(190, 1.0);
        }
        normalise(f, sum);
        break;
    default:
        params.clear();
        break;
    }
    tranprobmat();
    tprobmtrx();
}

substmodel::substmodel(alphsize a)
    : model(a == AA ? DAYHOFF : JC69), alf(a), logalf(alftologalf(a)), time(1.0) {
    freqs.assign(alf, 0.0);
    size_storage();
    tranprobmat();
    tprobmtrx();
}

substmodel::substmodel(alphsize a, subarch m) : model(m), alf(a), logalf(alftologalf(a)), time(1.0) {
    freqs.assign(alf, 0.0);
    size_storage();
    if (m < 0 || m > BLOSUM62) fatal("Unknown substitution model\n");
    switch (m) {
    case GENREV:
    case TAMNEI:
        std::cout << "The Tamura Nei model and the general reversible model\n"
                  << "need base frequencies. Kimura3P will be used instead.\n";
        model = KIMURA3P;
        break;
    case HKY:
        std::cout << "The HKY model needs base frequencies.\n"
                  << "Kimura2P will be used instead.\n";
        model = KIMURA2P;
        break;
    case FEL81:
        std::cout << "The Felsenstein model needs base frequencies.\n"
                  << "The Jukes Cantor model will be used instead.\n";
        model = JC69;
        break;
    case MV2000:
        std::cout << "The general reversible model for proteins needs amino acid frequencies.\n"
                  << "The Dayhoff model will be used instead.\n";
        model = DAYHOFF;
        break;
    default:
        break;
    }
    if (model == KIMURA3P) params = {0.5, 1.0};
    else if (model == KIMURA2P) params = {0.5};
    tranprobmat();
    tprobmtrx();
}

substmodel::substmodel(alphsize a, subarch m, const std::vector<double>& f)
    : model(m), alf(a), logalf(alftologalf(a)), time(1.0) {
    freqs.assign(alf, 0.0);
    double sum = 0.0;
    check_freqs(f, sum);
    size_storage();
    if (m < 0 || m > BLOSUM62) fatal("Unknown substitution model\n");
    switch (m) {
    case GENREV: default_params(6, 1.0); normalise(f, sum); break;
    case TAMNEI: normalise(f, sum); params = {0.5, 1.0}; break;
    case KIMURA3P: params = {0.5, 1.0}; break;
    case HKY: normalise(f, sum); params = {0.5}; break;
    case KIMURA2P: params = {0.5}; break;
    case FEL81: normalise(f, sum); break;
    case MV2000: default_params(190, 1.0); normalise(f, sum); break;
    default: break;
    }
    tranprobmat();
    tprobmtrx();
}

substmodel::substmodel(const substmodel& o)
    : params(o.params), model(o.model), alf(o.alf), logalf(o.logalf), freqs(o.freqs),
      ratemat(o.ratemat), time(o.time), probmat(o.probmat), evals(o.evals), evecs(o.evecs),
      ievecs(o.ievecs), expievecs(o.expievecs), logpcache_(o.logpcache_), ptime_(o.ptime_),
      pvalid_(o.pvalid_) {}

substmodel substmodel::operator=(substmodel other) {
    params = std::move(other.params);
    model = other.model;
    alf = other.alf;
    logalf = other.logalf;
    freqs = std::move(other.freqs);
    ratemat = std::move(other.ratemat);
    time = other.time;
    probmat = std::move(other.probmat);
    evals = std::move(other.evals);
    evecs = std::move(other.evecs);
    ievecs = std::move(other.ievecs);
    expievecs = std::move(other.expievecs);
    logpcache_ = std::move(other.logpcache_);
    ptime_ = other.ptime_;
    pvalid_ = other.pvalid_;
    recomputes_ = other.recomputes_;
    curslot_ = other.curslot_;
    slotkey_ = std::move(other.slotkey_);
    slotused_ = std::move(other.slotused_);
    slotdata_ = std::move(other.slotdata_);
    nextslot_ = other.nextslot_;
    lastslot_ = other.lastslot_;
    return *this;
}

// ---------------------------------------------------------------------------
// Setters and queries

void substmodel::settime(double t) {
    time = t;
    std::uint64_t bits;
    std::memcpy(&bits, &t, sizeof bits);
    if (pvalid_ && bits == ptime_) return;
    const std::size_t stride = slot_stride();
    const std::size_t nn = static_cast<std::size_t>(alf) * alf;
    const std::size_t nl = static_cast<std::size_t>(logalf) * logalf;
    if (curslot_ >= 0 && logpcache_.size() == nl) {
        // Keep the logarithms computed at the time being left.
        double* d = slotdata_.data() + curslot_ * stride + nn + alf;
        std::copy(logpcache_.begin(), logpcache_.end(), d);
    }
    curslot_ = -1;
    if (!slotkey_.empty()) {
        // Times tend to come back in the order they were kept: look at the
        // slot after the last one first.
        const int start = (lastslot_ + 1) % kSlots;
        for (int w = 0; w < kSlots; ++w) {
            const int sl = (start + w) % kSlots;
            if (!slotused_[sl] || slotkey_[sl] != bits) continue;
            const double* d = slotdata_.data() + sl * stride;
            std::copy(d, d + nn, probmat.data());
            for (int k = 0; k < alf; ++k) {
                const double e = d[nn + k];
                const double* iv = ievecs[k];
                double* ev = expievecs[k];
                for (int j = 0; j < alf; ++j) ev[j] = iv[j] * e;
            }
            logpcache_.assign(d + nn + alf, d + nn + alf + nl);
            ptime_ = bits;
            pvalid_ = true;
            curslot_ = sl;
            lastslot_ = sl;
            return;
        }
    }
    double e[20];
    compute_p(e);
    if (slotkey_.empty() && ++recomputes_ >= kRecomputesBeforeSlots) {
        slotkey_.assign(kSlots, 0);
        slotused_.assign(kSlots, 0);
        slotdata_.assign(kSlots * stride, 0.0);
        nextslot_ = 0;
    }
    if (!slotkey_.empty()) {
        const int slot = nextslot_;
        nextslot_ = (nextslot_ + 1) % kSlots;
        double* d = slotdata_.data() + slot * stride;
        std::copy(probmat.data(), probmat.data() + nn, d);
        for (int k = 0; k < alf; ++k) d[nn + k] = e[k];
        slotkey_[slot] = bits;
        slotused_[slot] = 1;
        curslot_ = slot;
        lastslot_ = slot;
    }
}

std::size_t substmodel::slot_stride() const {
    return static_cast<std::size_t>(alf) * alf + alf + static_cast<std::size_t>(logalf) * logalf;
}

void substmodel::decomposition_changed() {
    forget_times();
    pvalid_ = false;
}

void substmodel::forget_times() {
    recomputes_ = 0;
    curslot_ = -1;
    slotkey_.clear();
    slotused_.clear();
    slotdata_.clear();
    nextslot_ = 0;
    lastslot_ = -1;
}

int substmodel::paramsOf(std::vector<double>& out) const {
    out = params;
    return model;
}

void substmodel::freqsOf(std::vector<double>& out) const { out = freqs; }

void substmodel::setparams(const std::vector<double>& p) {
    if (p.size() != params.size()) fatal("Inadequate number of parameters in function setparams\n");
    params = p;
    tranprobmat();
    tprobmtrx();
}

void substmodel::setfreqs(const std::vector<double>& f) {
    if (model < 0 || model > BLOSUM62) fatal("Unknown substitution model\n");
    if (!is_given_freq_kind(model))
        fatal("You were trying to change the base or amino acid frequencies\n");
    double sum = 0.0;
    check_freqs(f, sum);
    normalise(f, sum);
    tranprobmat();
    tprobmtrx();
}

// ---------------------------------------------------------------------------
// Exchangeability builders

void substmodel::genrevmod() {
    if (params.size() != 6)
        fatal("The general reversible model needs six parameters,\n", "yet there are ",
              params.size(), "\n");
    int k = 0;
    for (int i = 0; i < 4; ++i) {
        ratemat[i][i] = 0.0;
        for (int j = i + 1; j < 4; ++j) {
            ratemat[i][j] = params[k++];
            ratemat[j][i] = ratemat[i][j];
        }
    }
}

namespace {

// S with S_AG = ag, S_CT = ct and every other off-diagonal entry 1.
void transitions(sqmatrix& s, double ag, double ct) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) s[i][j] = (i == j) ? 0.0 : 1.0;
    s[0][2] = s[2][0] = ag;
    s[1][3] = s[3][1] = ct;
}

}  // namespace

void substmodel::tamneimod() {
    if (params.size() != 2)
        fatal("The Tamura Nei model needs two parameters,\n", "yet there are ", params.size(), "\n");
    double ag = ((2.0 * params[0]) * 2.0) / (params[1] + 1.0);
    transitions(ratemat, ag, params[1] * ag);
}

void substmodel::hkymod() {
    if (params.size() != 1)
        fatal("The HKY model needs one parameter,\n", "yet there are ", params.size(), "\n");
    transitions(ratemat, 2.0 * params[0], 2.0 * params[0]);
}

void substmodel::kimura2mod() {
    if (params.size() != 1)
        fatal("The Kimura 2 parameter model needs one parameter,\n", "yet there are ",
              params.size(), "\n");
    transitions(ratemat, 2.0 * params[0], 2.0 * params[0]);
    for (int i = 0; i < 4; ++i) freqs[i] = 0.25;
}

void substmodel::kimura3mod() {
    if (params.size() != 2)
        fatal("The Kimura 3 parameter model needs two parameters,\n", "yet there are ",
              params.size(), "\n");
    double ag = ((2.0 * params[0]) * 2.0) / (params[1] + 1.0);
    transitions(ratemat, ag, params[1] * ag);
    for (int i = 0; i < 4; ++i) freqs[i] = 0.25;
}

void substmodel::fel81mod() { transitions(ratemat, 1.0, 1.0); }

void substmodel::jcmod() {
    transitions(ratemat, 1.0, 1.0);
    for (int i = 0; i < 4; ++i) freqs[i] = 0.25;
}

void substmodel::mv2000mod() {
    if (params.size() != 190)
        fatal("The general reversible model for amino acids needs 190 parameters,\n",
              "yet there are ", params.size(), "\n");
    int k = 0;
    for (int i = 0; i < 20; ++i) {
        ratemat[i][i] = 0.0;
        for (int j = i + 1; j < 20; ++j) {
            ratemat[i][j] = params[k++];
            ratemat[j][i] = ratemat[i][j];
        }
    }
}

// ---------------------------------------------------------------------------
// Rate matrix

void substmodel::onepamratematrix() {
    const int n = alf;
    if (freqs.size() != static_cast<std::size_t>(n))
        fatal("Alphabet has size ", n, ",\n", "but the distribution has  ", freqs.size(),
              " states!\n");
    if (ratemat.size() != n) ratemat.resize(n);
    if (n == 4) {
        switch (model) {
        case GENREV: genrevmod(); break;
        case TAMNEI: tamneimod(); break;
        case HKY: hkymod(); break;
        case KIMURA2P: kimura2mod(); break;
        case KIMURA3P: kimura3mod(); break;
        case FEL81: fel81mod(); break;
        case JC69: jcmod(); break;
        default:
            fatal("You were trying to analyse nucleotide sequences\n",
                  "with an inadequate substitution model.\n");
        }
    } else if (n == 20) {
        switch (model) {
        case MV2000: mv2000mod(); break;
        case JTT: jttdata(); break;
        case DAYHOFF: dyhfdata(); break;
        case MTREV24: mtrevdata(); break;
        case BLOSUM62: blosum62data(); break;
        default:
            fatal("You were trying to analyse amino acid sequences\n",
                  "with an inadequate substitution model.\n");
        }
    } else {
        fatal("Unknown sequence type with ", n, " states\n");
    }

    double r[20];
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) ratemat[i][j] = freqs[j] * ratemat[i][j];
    double total = 0.0;
    for (int i = 0; i < n; ++i) {
        double s = 0.0;
        for (int j = 0; j < n; ++j) s += ratemat[i][j];
        r[i] = s;
        total += s * freqs[i];
    }
    const double scale = 0.01 / total;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            ratemat[i][j] = (i == j) ? -(r[i] * scale) : scale * ratemat[i][j];
}

// ---------------------------------------------------------------------------
// Decomposition

void substmodel::tranprobmat() {
    eigensystem();
    luinverse();
    checkevector();
}

void substmodel::eigensystem() {
    decomposition_changed();
    const int n = alf;
    double* wi = new_dvector(n);
    double** a = new_dmatrix(n, n);
    int* perm = new_ivector(n);
    onepamratematrix();
    if (evecs.size() != n) evecs.resize(n);
    if (evals.size() != static_cast<std::size_t>(n)) evals.assign(n, 0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) a[i][j] = ratemat[i][j];

    elmhes(a, perm, n);
    eltran(a, perm, n);
    hqr2(n, 1, n, a, wi);

    bool bad = false;
    for (int k = 0; k < n && !bad; ++k) {
        double s = 0.0;
        for (int i = 0; i < n; ++i) {
            double qv = 0.0;
            for (int j = 0; j < n; ++j) qv += ratemat[i][j] * evecs[j][k];
            s += qv - evals[k] * evecs[i][k];
            if (std::fabs(s) > 0.00001) {
                bad = true;
                break;
            }
        }
    }
    if (bad) warn("\nWARNING: Eigensystem doesn't satisfy eigenvalue equation!\n");

    free_ivector(perm);
    free_dmatrix(a);
    free_dvector(wi);
}

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
                const double tst1 =
                    std::fabs(p) * (std::fabs(H(m - 1, m - 1)) + std::fabs(zz) + std::fabs(H(m + 1, m + 1)));
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
                        const double tst1 =
                            norm * (std::fabs(w) + std::fabs(q) + std::fabs(x) + std::fabs(y) + std::fabs(zz));
                        vr = tst1;
                        double tst2;
                        do {
                            vr = 0.01 * vr;
                            tst2 = tst1 + vr;
                        } while (tst2 > tst1);
                    }
                    mcdiv(x * r - zz * ra + q * sa, x * s - zz * sa - q * ra, vr, vi, &H(i, na), &H(i, en));
                    if (std::fabs(x) > std::fabs(zz) + std::fabs(q)) {
                        H(i + 1, na) = (-ra - w * H(i, na) + q * H(i, en)) / x;
                        H(i + 1, en) = (-sa - w * H(i, en) - q * H(i, na)) / x;
                    } else {
                        mcdiv(-r - y * H(i, na), -s - y * H(i, en), zz, q, &H(i + 1, na), &H(i + 1, en));
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
    int* indx = new_ivector(n);
    double** a = new_dmatrix(n, n);
    double* vv = static_cast<double*>(std::malloc(sizeof(double) * (n > 0 ? n : 1)));
    if (vv == nullptr) maerror("step 1 in luinverse");
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

    std::free(vv);
    free_dmatrix(a);
    free_ivector(indx);
}

void substmodel::checkevector() {
    const int n = evecs.size();
    double** m = new_dmatrix(n, n);
    bool bad = false;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = 0.0;
            for (int k = 0; k < n; ++k) s += evecs[i][k] * ievecs[k][j];
            m[i][j] = s;
            if (std::fabs(i == j ? s - 1.0 : s) > 0.00001) bad = true;
        }
    if (bad) warn("\nWARNING: Inversion of eigenvector matrix not perfect!\n");
    free_dmatrix(m);
}

void substmodel::compute_p(double* eout) {
    const int n = alf;
    if (n < 1 || n > 20) fatal("Unknown sequence type with ", n, " states\n");
    if (expievecs.size() != n) expievecs.resize(n);
    if (probmat.size() != n) probmat.resize(n);
    for (int k = 0; k < n; ++k) {
        const double e = std::exp(time * evals[k]);
        if (eout) eout[k] = e;
        const double* iv = ievecs[k];
        double* ev = expievecs[k];
        for (int j = 0; j < n; ++j) ev[j] = iv[j] * e;
    }
    // Each entry sums over k in increasing order, as the plain triple loop.
    double acc[20];
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) acc[j] = 0.0;
        const double* u = evecs[i];
        for (int k = 0; k < n; ++k) {
            const double uk = u[k];
            const double* ev = expievecs[k];
            for (int j = 0; j < n; ++j) acc[j] += uk * ev[j];
        }
        double* pr = probmat[i];
        for (int j = 0; j < n; ++j) pr[j] = std::fabs(acc[j]);
    }
    logpcache_.assign(static_cast<std::size_t>(logalf) * logalf, kNotCached);
    std::memcpy(&ptime_, &time, sizeof ptime_);
    pvalid_ = true;
}

void substmodel::tprobmtrx() {
    forget_times();
    compute_p(nullptr);
}

// ---------------------------------------------------------------------------
// Log probabilities and draws

double substmodel::logfreqofstate(int c) const {
    if (c < 0 || c >= logalf) fatal("Indexing error in logfreqofstate: idx=", c, "\n");
    if (c < alf) return std::log(freqs[c]);
    const unsigned w = members_mask(c, alf);
    double s = 0.0;
    for (int k = 0; k < alf; ++k)
        if (w & (1u << k)) s += freqs[k];
    return std::log(s);
}

double substmodel::logprob_uncached(int i, int j) const {
    if (i < alf && j < alf) return std::log(probmat[i][j]);
    const unsigned wj = members_mask(j, alf);
    if (i < alf) {
        double s = 0.0;
        for (int l = 0; l < alf; ++l)
            if (wj & (1u << l)) s += probmat[i][l];
        return std::log(s);
    }
    const unsigned wi = members_mask(i, alf);
    double s = 0.0;
    for (int k = 0; k < alf; ++k) {
        if (!(wi & (1u << k))) continue;
        if (j < alf) {
            s += freqs[k] * probmat[k][j];
        } else {
            double row = 0.0;
            for (int l = 0; l < alf; ++l)
                if (wj & (1u << l)) row += probmat[k][l];
            s += freqs[k] * row;
        }
    }
    return std::log(s) - logfreqofstate(i);
}

double substmodel::logprob_fill(int i, int j) const {
    if (i < 0 || j < 0 || i >= logalf || j >= logalf)
        fatal("Indices too big: i = ", i, ", j = ", j, "\n");
    const std::size_t idx = static_cast<std::size_t>(i) * logalf + j;
    if (logpcache_.size() != static_cast<std::size_t>(logalf) * logalf)
        logpcache_.assign(static_cast<std::size_t>(logalf) * logalf, kNotCached);
    double v = logpcache_[idx];
    if (v == kNotCached) {
        v = logprob_uncached(i, j);
        logpcache_[idx] = v;
    }
    return v;
}

double substmodel::logProb_ij(int i, int j, double t) {
    if (std::fabs(time - t) > DBL_MIN) settime(t);
    return logProb_ij(i, j);
}

int substmodel::choosebase() const {
    const double u = randomunitintervall();
    double sum = 0.0;
    for (int k = 0; k < alf; ++k) {
        sum += freqs[k];
        if (sum > u) return k;
    }
    // The weights total less than u (MTREV24 frequencies sum to 0.999):
    // map the excess of u into the weights' range and walk again.
    const double total = sum;
    if (total > 0.0) {
        const double v = (u - total) * total / (1.0 - total);
        sum = 0.0;
        int last = -1;
        for (int k = 0; k < alf; ++k) {
            sum += freqs[k];
            if (sum > v) return k;
            if (freqs[k] > 0.0) last = k;
        }
        if (last >= 0) return last;
    }
    fatal("Reached the end of function choosebase\n");
}

int substmodel::choosepair(int& i, int& j) const {
    const double u = randomunitintervall();
    double sum = 0.0;
    for (int a = 0; a < alf; ++a) {
        const double fa = freqs[a];
        const double* pa = probmat[a];
        for (int b = 0; b < alf; ++b) {
            sum += fa * pa[b];
            if (sum > u) {
                i = a;
                j = b;
                return 1;
            }
        }
    }
    // As in choosebase: walk again with the excess of u rescaled.
    const double total = sum;
    if (total > 0.0) {
        const double v = (u - total) * total / (1.0 - total);
        sum = 0.0;
        int la = -1, lb = -1;
        for (int a = 0; a < alf; ++a) {
            const double fa = freqs[a];
            const double* pa = probmat[a];
            for (int b = 0; b < alf; ++b) {
                const double wab = fa * pa[b];
                sum += wab;
                if (sum > v) {
                    i = a;
                    j = b;
                    return 1;
                }
                if (wab > 0.0) {
                    la = a;
                    lb = b;
                }
            }
        }
        if (la >= 0) {
            i = la;
            j = lb;
            return 1;
        }
    }
    fatal("Reached the end of function choosepair\n");
}

// ---------------------------------------------------------------------------
// Model choice by frequencies

void substmodel::guessmodel(const std::vector<double>& f) {
    if (alf != 20 || f.size() != 20 || ratemat.size() != 20 || freqs.size() != 20)
        fatal("guessmodel needs an amino acid model and 20 frequencies\n");
    // The frequencies change under the kept logarithms.
    forget_times();
    logpcache_.assign(static_cast<std::size_t>(logalf) * logalf, kNotCached);
    static const subarch order[4] = {DAYHOFF, JTT, MTREV24, BLOSUM62};
    double best = 0.0;
    int choice = 0;
    for (int c = 0; c < 4; ++c) {
        switch (order[c]) {
        case DAYHOFF: dyhfdata(); break;
        case JTT: jttdata(); break;
        case MTREV24: mtrevdata(); break;
        default: blosum62data(); break;
        }
        double d = 0.0;
        for (int i = 0; i < 20; ++i) d += (f[i] - freqs[i]) * (f[i] - freqs[i]);
        if (c == 0 || d <= best) {
            best = d;
            choice = c;
        }
    }
    static const char* const names[4] = {"Dayhoff model fitted best\n", "JTT model fitted best\n",
                                         "mtRev24 model fitted best\n", "Blosum62 model fitted best\n"};
    std::cout << names[choice];
    model = order[choice];
}
