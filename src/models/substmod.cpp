// Substitution models: construction, rate matrices, eigen decomposition,
// transition probabilities, state sampling and the empirical tables.
#include "models/substmod.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "sequence/random.h"
#include "sequence/util.h"

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
    // Kinds with their own frequencies neither test nor use the given ones.
    if (!is_given_freq_kind(model)) return;
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

// Exchangeabilities (upper triangle row by row, S_YV = 1) and frequencies
// of the empirical amino-acid models, in the order A R N D C Q E G H I L K M
// F P S T W Y V.



namespace {

struct aatable {
    double s[190];
    double f[20];
};

const aatable kJtt = {
    {
        // A
        3.1628651460584001, 3.2804935927860002, 4.8477237048666, 3.4612244897958999,
        3.3130910900945998, 6.3199473337722001, 10.440154440154, 1.3061224489795999,
        2.1726844583987002, 1.8443597219107, 2.2137668626772999, 2.7210884353740998,
        0.83265306122449001, 11.537414965986001, 22.838213546287999, 27.007955724662999,
        0.51311953352770001, 0.83673469387754995, 17.474335188621001,
        // R
        2.6598918637222, 0.91014867485455997, 6.1624649859943998, 18.036482885837,
        1.8924731182796, 8.1810886516768999, 19.119717452198, 1.4410687351864,
        2.221196170776, 39.239234676922003, 2.5060690943043999, 0.39439775910364,
        4.1953094963476003, 5.9016766126741, 3.8437069743152001, 7.6766706682672998,
        1.4173669467787, 1.0308123249300001,
        // N
        32.226935854842999, 1.871096345515, 4.5351268130621998, 3.3951344979101998,
        4.598724970818, 23.693774375271001, 2.9235880398670999, 0.80960899565551003,
        15.024269384537, 1.9003322259136, 0.43853820598006998, 0.71083317047748995,
        29.456208772690001, 13.735908553410001, 0.16706217370668999, 4.1661129568105997,
        0.97452934662237001,
        // D
        0.62857142857143, 3.0662020905923, 45.450549450548998, 7.5402435402435,
        6.0544672718586003, 0.68808114961960998, 0.36130902064968001, 1.671819705718,
        1.0879120879121, 0.19340659340659, 0.73949579831932999, 3.4196528109572002,
        2.4749487800334999, 0.34536891679748999, 2.6895604395603998, 1.8608058608058999,
        // C
        0.55191637630662005, 0.32442396313364003, 3.3297297297297002, 4.3726708074534004,
        0.91868131868131997, 0.99466248037676996, 0.29830508474576001, 2.4095238095238001,
        4.1485714285714002, 0.73949579831932999, 12.862939958591999, 2.8125907990315002,
        6.8244897959184003, 12.885714285714, 3.7714285714286002,
        // Q
        20.316061593796, 1.3922214897825, 33.861536130889, 0.47172339855266998,
        4.2320327755868004, 17.835941652395, 2.6573751451800001, 0.27595818815331002,
        9.4992143198742998, 3.2350653941321998, 3.0973838067677999, 1.0512692882031001,
        1.5331010452961999, 1.0778164924506,
        // E
        6.6857641051189001, 1.4458024443999, 0.67068415455511998, 0.57932850559578997,
        10.365070686557999, 1.0138248847925999, 0.26359447004608, 1.1291226167887001,
        1.8337006611900999, 1.9520424900414, 0.69519420671494003, 0.38018433179722999,
        2.7772657450076998,
        // G
        1.2113479939567, 0.32670032670033, 0.41817641817641998, 1.6354950592238999,
        0.76447876447875995, 0.30579150579150999, 1.2391551215081, 11.138492529797,
        1.8888816176951999, 3.3491450634308002, 0.31853281853282001, 2.8416988416988,
        // H
        1.0931677018634001, 3.2194389461470001, 3.1498052426570999, 1.9130434782609,
        2.7329192546584, 6.7304834977469001, 4.3726708074534004, 2.8162964522581002,
        0.78083407275953998, 35.118012422360003, 0.7287784679089,
        // I
        14.069798333534999, 1.2292791953808999, 28.366300366299999, 4.7384615384615003,
        0.58780435251023, 2.4105749323141001, 15.243062022723, 0.82888540031396996,
        1.8434065934066, 57.699633699633999,
        // L
        0.88039805231088997, 22.425954997384, 15.099529042385999, 6.2626896912610999,
        3.4917298022888001, 1.6109411169943999, 3.2366001345592998, 1.4505494505495,
        10.557823129252,
        // K
        3.6577885391445002, 0.14915254237288, 1.2868062479229001, 2.8162964522581002,
        5.7494151926786001, 0.54790729851262998, 0.53268765133172002, 0.74899112187247996,
        // M
        2.5666666666667002, 0.94491129785246997, 1.639751552795, 12.180790960452001,
        1.1972789115646001, 1.1130952380951999, 17.746031746031999,
        // F
        0.88739495798319001, 5.6298136645963002, 0.83099273607748003, 3.3224489795918002,
        33.392857142856997, 3.6000000000000001,
        // P
        16.261762676084999, 6.8852490148602001, 0.42256902761103998, 0.67787114845938001,
        1.2549019607842999,
        // S
        27.891216619293001, 1.8740017746229001, 3.7349896480331002, 2.4182194616977002,
        // T
        0.48702870978899998, 1.1985472154964001, 6.7925746569814001,
        // W
        4.6020408163265003, 1.469387755102,
        // Y
        1,
    },
    {0.077, 0.051, 0.043, 0.052, 0.020, 0.041, 0.062, 0.074, 0.023, 0.052,
     0.091, 0.059, 0.024, 0.040, 0.051, 0.069, 0.059, 0.014, 0.032, 0.066},
};

const aatable kDayhoff = {
    {
        // A
        0.96472567159749001, 3.592799188641, 4.3200552414656004, 1.3184584178498999,
        3.2267534963169, 7.0141987829614996, 8.5773867857874997, 0.81434196396611003,
        2.3518447453539002, 1.4735711728911001, 0.93940162271804994, 2.5490196078431002,
        0.65922920892494996, 8.9189834148670002, 14.540712836859001, 13.41190459537,
        0.038517964118027, 0.87897227856659998, 7.4036511156187004,
        // R
        1.1890243902438999, 0.059525626545376999, 0.84778922655537003, 8.8348561504190997,
        0.055954088952654003, 0.31434881434075002, 8.4753987678284997, 2.2684090115941,
        0.55954088952654002, 16.681312769009999, 3.1707317073171, 0.48959827833572001,
        3.6754156468899999, 5.4755072760812, 0.96472567159749001, 7.5538020086083,
        0.27977044476327001, 0.86083213773314005,
        // N
        32.459324155193997, 0.073852625416383003, 3.7732198142415001, 5.3911764705882002,
        5.0264375413086997, 19.061418685121001, 2.7901430842606998, 1.2482698961937999,
        11.542279411765, 0.19117647058824, 0.50183823529411997, 1.5181660899653999,
        17.697478991596999, 8.3557302231237003, 0.86029411764705999, 3.4411764705882,
        0.57352941176470995,
        // D
        0.025534152404600999, 4.8811013767208999, 40.561952440551003, 4.442350691173,
        3.0865788117499999, 0.85749078239692, 0.025926985518517999, 2.593085106383,
        0.11667143483333001, 0.012963492759258999, 0.47853935065891001, 3.4167709637046002,
        2.3984722282163, 0.032408731898146997, 0.081351689612014999, 0.63829787234043001,
        // C
        0.021864264103535001, 0.014770525083277, 0.39055458751427002, 1.0223340673168,
        1.5970515970515999, 0.039098448749850002, 0.0080776309049169007, 0.14155086538139999,
        0.086898395721924995, 0.68155604487784005, 5.8097784568373001, 0.59929928084086004,
        0.34759358288769998, 3.4759358288770001, 1.7647058823529,
        // Q
        25.476780185759001, 1.0174974779977, 21.573939173191999, 0.65266504894987998,
        2.6634492806410002, 5.5466331269350002, 4.0247678018575996, 0.018038017885416001,
        5.5044618466581996, 2.0267580716497, 1.9256432155439001, 0.096202762055552005,
        0.10061919504644, 1.2538699690402,
        // E
        2.8869795109054999, 1.5519031141869, 2.1701112877583002, 0.40484429065743999,
        2.9823529411765, 1.0705882352941001, 0.019801735189768001, 1.7993079584775,
        2.8184873949579998, 1.2261663286004001, 0.073114099162219004, 0.76470588235294001,
        1.3058823529412,
        // G
        0.37906768788150003, 0.023128004846840002, 0.25776602775941998, 0.96662260409781997,
        0.60145406477198005, 0.54775280898876, 1.2382877804129, 8.2853366065527005,
        1.1110604644802999, 0.12888301387970999, 0.017114723586661999, 1.9233311302049001,
        // H
        0.27354343963340999, 1.5876246692449001, 0.96993944636677998, 0.12544085640576999,
        1.6868512110727001, 3.3075513942600998, 1.2530894710825999, 0.81434196396611003,
        1.0121107266436, 4.4982698961937997, 1.5570934256055,
        // I
        9.2275320303001998, 1.6663354531001999, 11.780604133544999, 6.9753577106518003,
        0.42551201720752002, 0.88575970928911996, 6.8951811852420004, 0.098802836705702002,
        1.3434022257552001, 31.526232114467,
        // L
        0.65787197231834005, 18.622837370241999, 5.6340830449826997, 1.1377976796255,
        0.61690558576372001, 1.2098794893211, 1.7543252595156, 1.0346020761246,
        6.2906574394463997,
        // K
        8.6029411764705994, 0.0066640454965565003, 1.2089100346021, 3.4411764705882,
        4.9442190669370998, 0.034272233982289999, 0.47794117647058998, 0.375,
        // M
        3.25, 0.59976931949250001, 2.1848739495798002, 3.6916835699797002,
        0.16247577591604001, 0.11508700794053001, 9.0588235294118,
        // F
        0.39359861591695, 1.6386554621849001, 0.49442190669371, 2.8676470588235001,
        24.852941176470999, 0.44117647058824,
        // P
        8.6431043005436994, 2.8308077795013, 0.035840244687362001, 0.043804743506776003,
        1.7301038062284,
        // S
        19.663865546217998, 2.7857142857142998, 1.2016806722689, 1.0840336134454001,
        // T
        0.042019597219665999, 1.5162271805273999, 5.6592292089249003,
        // W
        2.2941176470587998, 0.12654363316538,
        // Y
        1,
    },
    {0.087, 0.041, 0.040, 0.047, 0.033, 0.038, 0.050, 0.089, 0.034, 0.037,
     0.085, 0.080, 0.015, 0.040, 0.051, 0.070, 0.058, 0.010, 0.030, 0.065},
};

const aatable kMtrev24 = {
    {
        // A
        12.199217606346, 14.182139942121999, 9.2985091873207999, 31.542792981957,
        1.0025852846687999, 5.1418866803338004, 63.531246495131001, 7.3137132861714997,
        50.782382656186002, 13.399741808481, 4.4021672780559999, 74.673480520103993,
        3.3513021631978002, 28.582502221773002, 204.13623195311999, 253.01305153906,
        1, 3.4084158197615002, 102.66468401249,
        // R
        6.9661274444533996, 1, 54.384584796567999, 116.31134513343,
        1, 12.122831341194001, 86.961067087353001, 1,
        8.1976829394538004, 74.423215395317996, 1, 2.4659158338099001,
        12.439947713615, 3.1791814866372001, 1.0935327216119, 11.550775790126,
        1, 4.0211417480338003,
        // N
        418.0932546816, 31.020979842967002, 91.349622725361002, 33.185663516310001,
        28.052324651124, 261.12087577885001, 14.261453863336, 7.9775653461977001,
        320.36829276162001, 34.424354918738999, 7.9996445145608002, 38.586541461044,
        260.20426225851998, 125.50758780474, 5.6207759736659, 100.71406219571,
        1,
        // D
        1, 29.097352675564, 307.13149855301998, 29.877072751897,
        59.995408885817, 2.2827096245104999, 1, 1.2183938185384,
        1, 2.6221929413096001, 7.0708004204732999, 36.327934317138997,
        14.743408713748, 10.453246057102, 11.165627147496, 1,
        // C
        39.599394038972001, 1, 16.163581056674001, 74.467985406234007,
        33.018175376622999, 13.500725995091001, 1, 3.2504095376922999,
        37.264767083095997, 16.454136037822, 145.81783243113, 94.720031458441994,
        17.684087896962001, 134.09157685925999, 1,
        // Q
        165.03249008835999, 3.5530760735493998, 306.52523140859, 4.3905393139325,
        20.895470525345001, 245.04076430724001, 24.931300477796999, 10.059428264289,
        72.256314165467003, 28.480937892158, 49.962974409828, 1,
        20.430790980529, 9.9986289000675992,
        // E
        14.884496769963, 25.853576435567, 1.7418201388328001, 1,
        165.19126809071, 1, 1.4067850525292001, 6.7547121641947001,
        28.794794140840001, 7.8001372062558003, 1, 6.9067239183061,
        11.127702362585,
        // G
        1, 3.1466649021549999, 1.2699794194864999, 11.962111069278,
        1, 1, 1, 66.277950574410994,
        5.8800079133027996, 5.7494182626674002, 1.6887657206208, 1.3320553471351,
        // H
        6.4536986087271, 6.0472584534958003, 67.197196398960997, 6.2977633277778997,
        25.347805183363999, 32.089868698727997, 40.766987134407003, 23.570850628538999,
        3.7286635325194002, 352.70764890473998, 1,
        // I
        173.20653206333, 10.298655619743, 272.62244199513998, 44.561065036309998,
        10.856482766156001, 25.107659603898, 193.91167162524999, 1,
        13.161329199391, 643.65086389427995,
        // L
        7.8314019154706003, 282.90920517724999, 113.71735519833, 21.105885757279001,
        38.741359395933998, 66.524559321656994, 17.071378554833, 23.234516108847,
        48.247261078054997,
        // K
        48.092094826036003, 3.3887559483419998, 26.368577564199001, 55.679895711417998,
        71.750284708932995, 12.631893872825, 26.932728996777001, 1,
        // M
        47.798798034572002, 9.9165053447428999, 58.505442466161, 277.98190504759998,
        11.427000119701001, 21.029990530586002, 203.97078683768001,
        // F
        9.1089574817138992, 33.835737720574002, 17.815549567055999, 4.1272404968213996,
        245.04156395152, 3.3435675442163002,
        // P
        89.421193040708999, 67.485067008374997, 2.2161693733112999, 8.5338209390745003,
        4.3342126659659996,
        // S
        314.32036618746002, 20.305343047059001, 34.167877957799, 1,
        // T
        5.2559565123081002, 20.382362288681001, 107.655271375,
        // W
        13.814733274637, 2.8259139240676001,
        // Y
        1,
    },
    {0.072, 0.019, 0.039, 0.019, 0.006, 0.025, 0.024, 0.056, 0.028, 0.088,
     0.168, 0.023, 0.054, 0.061, 0.054, 0.072, 0.086, 0.029, 0.033, 0.043},
};

const aatable kBlosum62 = {
    {
        // A
        0.73579038969750998, 0.48539105546575001, 0.54316182089867004, 1.4599953104700001,
        1.1997057046020001, 1.1709490427999001, 1.9558835749595, 0.71624144499778997,
        0.60589900368676997, 0.80001653051837995, 1.2952012667832999, 1.2537582666635001,
        0.49296467974759001, 1.1732759009239, 4.3250926870565998, 1.7291780194849999,
        0.46583936772479001, 0.71820669758623001, 2.1877745220045002,
        // R
        1.2974467051337, 0.50096440855513003, 0.22782657420895, 3.0208336100636002,
        1.3605741904202999, 0.41876330851753002, 1.456141166336, 0.23203644514173999,
        0.62271166969249003, 5.4111151414889003, 0.98369298745695, 0.37164469320874999,
        0.44813366171830998, 1.1227831042095999, 0.91466595456336997, 0.42638231012174999,
        0.72051744121611006, 0.43838834377202002,
        // N
        3.1801000482160999, 0.39735894989701998, 1.8392161469920001, 1.2404885086396,
        1.3558723444845, 2.4145014342081002, 0.28301732627800003, 0.21188815961519,
        1.5931370434573999, 0.64844127878707003, 0.35486124922251999, 0.49488704370191999,
        2.904101656456, 1.8981736345332001, 0.19148204624678, 0.53822251903674001,
        0.31285879799341998,
        // D
        0.24083661480203999, 1.190945703396, 3.7616252083684998, 0.79847324896839,
        0.77814266402188004, 0.41855573246160999, 0.2181315775936, 1.0324479249520999,
        0.22262189795786, 0.28173069420650998, 0.73062827299842004, 1.5827541420653,
        0.93418750943055995, 0.14534504627853001, 0.26142220896503998, 0.25812928941763003,
        // C
        0.32980150463028002, 0.14074889181440001, 0.41820319228376002, 0.35405810983128999,
        0.77489402279417996, 0.83184264014158005, 0.28507880090648002, 0.76768882347954004,
        0.44133747118659999, 0.35600849876863, 1.1971884150942, 1.119831358516,
        0.52766441887169002, 0.4702377336961, 1.1163524786062,
        // Q
        5.5289191779282003, 0.60984630538281004, 2.4353411311400999, 0.23620245120364999,
        0.58073709318143996, 3.9452776745146001, 2.4948960771127, 0.14435695975030999,
        0.85857057567418005, 1.9348709245964999, 1.2774802945956001, 0.75865380864172005,
        0.95898974285014005, 0.53078579012486005,
        // E
        0.42357999217628001, 1.6268910569816999, 0.18684804693170001, 0.37262517508685,
        2.8024271516787, 0.55541539747043001, 0.29140908416529998, 0.92656393484597999,
        1.7698932389373001, 1.0710972360072999, 0.40763564893830001, 0.59671930034577003,
        0.52425384633796002,
        // G
        0.53985912495417998, 0.18929629237636, 0.21772115923623001, 0.75204244030270995,
        0.45943617357854999, 0.36816646445252998, 0.50408659952682999, 1.5093262532236,
        0.64143601140496997, 0.50835892463812005, 0.308055737035, 0.25334079019018002,
        // H
        0.25271844788491998, 0.34807220979697001, 1.022507035889, 0.98431152535870003,
        0.71453370392764004, 0.52700733915060005, 1.1170297629104999, 0.58540709022472004,
        0.30124860078016003, 4.2189539693890001, 0.20155597175031001,
        // I
        3.8909637733035001, 0.40619358664201999, 3.3647977631042001, 1.5173593259539,
        0.38835540920563999, 0.35754441245967, 1.1790911972600999, 0.34198578754023001,
        0.67461709322842001, 8.3118394054581994,
        // L
        0.44557027426058998, 6.0305593795716002, 2.0648397032374999, 0.37455568747097001,
        0.35296918452728998, 0.91525985769421003, 0.69147463459998004, 0.81124585632307,
        2.2314056889131,
        // K
        1.0730611843319, 0.26692475051101999, 1.0473834507215001, 1.7521659178194999,
        1.3038752007987, 0.33224304063395999, 0.71799348690032005, 0.49813847530407002,
        // M
        1.7738551688305, 0.45412362510273002, 0.91872341574604999, 1.4885480537218001,
        0.88810109815192995, 0.95168216224590996, 2.5758507553153001,
        // F
        0.23359790962888, 0.54002764482413002, 0.48820611879304998, 2.0743248934965002,
        6.7472604308008002, 0.83811961017754,
        // P
        1.1691295777157, 1.0054516831488001, 0.25221483002727002, 0.36940531935450999,
        0.49690841067566999,
        // S
        5.1515562922704001, 0.38792562209837, 0.79675152076106004, 0.56192545744165001,
        // T
        0.51312812689058995, 0.80101024319938996, 2.2530740511762999,
        // W
        4.0544190065579997, 0.26650873142645998,
        // Y
        1,
    },
    {0.074, 0.052, 0.045, 0.054, 0.025, 0.034, 0.054, 0.074, 0.026, 0.068,
     0.099, 0.058, 0.025, 0.047, 0.039, 0.057, 0.051, 0.013, 0.032, 0.073},
};

}  // namespace

// Writes the table into ratemat (mirrored, zero diagonal) and freqs.
static void write_table(substmodel& m, const aatable& t) {
    if (m.alf != 20 || m.ratemat.size() != 20 || m.freqs.size() != 20)
        fatal("Amino acid tables need a model of 20 states\n");
    int k = 0;
    for (int i = 0; i < 20; ++i)
        for (int j = i + 1; j < 20; ++j) m.ratemat[i][j] = t.s[k++];
    for (int i = 0; i < 20; ++i) {
        for (int j = 0; j < i; ++j) m.ratemat[i][j] = m.ratemat[j][i];
        m.ratemat[i][i] = 0.0;
    }
    for (int i = 0; i < 20; ++i) m.freqs[i] = t.f[i];
}

void substmodel::jttdata() { write_table(*this, kJtt); }
void substmodel::dyhfdata() { write_table(*this, kDayhoff); }
void substmodel::mtrevdata() { write_table(*this, kMtrev24); }
void substmodel::blosum62data() { write_table(*this, kBlosum62); }
