// Substitution models: construction, rate matrices, eigen decomposition,
// transition probabilities and state sampling.
#include "models/substmod.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iostream>
#include <utility>

#include "sequence/fatal.h"
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

substmodel::substmodel(alphsize a, subarch m, const std::vector<double>& f,
                       const std::vector<double>& p)
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
    default: params.clear(); break;
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

substmodel::substmodel(alphsize a, subarch m)
    : model(m), alf(a), logalf(alftologalf(a)), time(1.0) {
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
    default: break;
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
    case GENREV:
        default_params(6, 1.0);
        normalise(f, sum);
        break;
    case TAMNEI:
        normalise(f, sum);
        params = {0.5, 1.0};
        break;
    case KIMURA3P: params = {0.5, 1.0}; break;
    case HKY:
        normalise(f, sum);
        params = {0.5};
        break;
    case KIMURA2P: params = {0.5}; break;
    case FEL81: normalise(f, sum); break;
    case MV2000:
        default_params(190, 1.0);
        normalise(f, sum);
        break;
    default: break;
    }
    tranprobmat();
    tprobmtrx();
}

substmodel::substmodel(const substmodel& o)
    : params(o.params),
      model(o.model),
      alf(o.alf),
      logalf(o.logalf),
      freqs(o.freqs),
      ratemat(o.ratemat),
      time(o.time),
      probmat(o.probmat),
      evals(o.evals),
      evecs(o.evecs),
      ievecs(o.ievecs),
      expievecs(o.expievecs),
      logpcache_(o.logpcache_),
      ptime_(o.ptime_),
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
        fatal("The Tamura Nei model needs two parameters,\n", "yet there are ", params.size(),
              "\n");
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
    const scratch_ptr<double> wi_held(new_dvector(n));
    const scratch_ptr<double*> a_held(new_dmatrix(n, n));
    const scratch_ptr<int> perm_held(new_ivector(n));
    double* const wi = wi_held.get();
    double** const a = a_held.get();
    int* const perm = perm_held.get();
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
                                         "mtRev24 model fitted best\n",
                                         "Blosum62 model fitted best\n"};
    std::cout << names[choice];
    model = order[choice];
}
