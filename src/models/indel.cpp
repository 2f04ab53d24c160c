// Construction, parameters and probabilities of the TKF indel models.
#include "models/indel.h"

#include <cfloat>
#include <cmath>

#include "sequence/util.h"

namespace {

[[noreturn]] void count_mismatch() {
    fatal("The number of parameters needed by the indel model\n",
          "and the length of the parameter vector that was passed\n",
          "to its constructor are not equal.\n");
}

// Insertion rate positive (in single precision), below the deletion rate,
// both finite.
void check_rates(double lambda, double mu, idarch model) {
    if (!std::isfinite(lambda) || !std::isfinite(mu) || lambda >= mu ||
        single_precision(lambda) <= 0.0) {
        if (model == TKF2)
            fatal("In the TKF2 model the insertion rate has to be positive\n",
                  "and smaller than the deletion rate.\n");
        fatal("In the TKF1 model the insertion rate has to be positive\n",
              "and smaller than the deletion rate.\n");
    }
}

void check_fragment(double r) {
    if (!std::isfinite(r) || single_precision(r) <= 0.0 || single_precision(r) >= 1.0)
        fatal("The third parameter of the TKF2 model should be positive\n",
              "and smaller than 1.\n");
}

void check_pair_states(int from, int to) {
    if (from < 0 || from > START || to < 0 || to > END)
        fatal("At least one of the states that was passed\n", "to retprob is out of range.\n");
}

}  // namespace

indel::indel() : params{0.001, 0.0011}, model(TKF1) {
    tP = 1.0;
    tT.fill(1.0);
    tQ.fill(1.0);
    tH.fill(1.0);
    fillP(tP);
    fillT(tT[0], tT[1]);
    fillQ(tQ[0], tQ[1], tQ[2]);
    fillH(tH[0], tH[1], tH[2], tH[3], tH[4]);
}

indel::indel(std::vector<double> p, idarch m) : model(m) {
    if (m != TKF1 && m != TKF2) fatal("Unknown indel model\n");
    const size_t need = (m == TKF1) ? 2 : 3;
    if (p.size() != need) count_mismatch();
    params = p;
    check_rates(params[0], params[1], m);
    if (m == TKF2) check_fragment(params[2]);
    tP = 1.0;
    tT.fill(1.0);
    tQ.fill(1.0);
    tH.fill(1.0);
    fillP(tP);
    fillT(tT[0], tT[1]);
    fillQ(tQ[0], tQ[1], tQ[2]);
    fillH(tH[0], tH[1], tH[2], tH[3], tH[4]);
}

indel::indel(double lambda, double mu) : params{lambda, mu}, model(TKF1) {
    check_rates(lambda, mu, TKF1);
    tP = 1.0;
    tT.fill(1.0);
    tQ.fill(1.0);
    tH.fill(1.0);
    fillP(tP);
    fillT(tT[0], tT[1]);
    fillQ(tQ[0], tQ[1], tQ[2]);
    fillH(tH[0], tH[1], tH[2], tH[3], tH[4]);
}

indel indel::operator=(indel other) {
    params = std::move(other.params);
    model = other.model;
    tP = other.tP;
    tT = other.tT;
    tQ = other.tQ;
    tH = other.tH;
    P = other.P;
    T = other.T;
    Q = other.Q;
    H = other.H;
    return *this;
}

int indel::returnparams(std::vector<double>& v) const {
    v.resize(params.size());
    for (size_t i = 0; i < params.size(); ++i) v[i] = params[i];
    return static_cast<int>(model);
}

void indel::setparams(const std::vector<double>& v) {
    if (v.size() != params.size()) count_mismatch();
    params = v;
    fillP(tP);
    fillT(tT[0], tT[1]);
    fillQ(tQ[0], tQ[1], tQ[2]);
    fillH(tH[0], tH[1], tH[2], tH[3], tH[4]);
}

void indel::rescale(double x) {
    if (model != TKF1 && model != TKF2) fatal("Unknown indel model in function rescale\n");
    params[0] *= x;
    params[1] *= x;
}

double indel::logprob_of_seqlen(unsigned n) const {
    const double kappa = params[0] / params[1];
    const double ln1k = std::log1p(-kappa);
    if (model == TKF1) return static_cast<double>(n) * std::log(kappa) + ln1k;
    if (model == TKF2) {
        if (n == 0) return ln1k;
        const double r = params[2];
        return ln1k + std::log(kappa) + std::log1p(-r) +
               static_cast<double>(n - 1) * std::log(r + (1.0 - r) * kappa);
    }
    fatal("Unknown indel model\n");
}

double indel::retlnprob(int from, int to) const {
    check_pair_states(from, to);
    return P[from][to];
}

double indel::retprob(zustand from, zustand to) const {
    check_pair_states(from, to);
    return std::exp(P[from][to]);
}

double untidy_addlog(double a, double b) {
    if (a > b) return a + std::log(1.0 + std::exp(b - a));
    return b + std::log(1.0 + std::exp(a - b));
}
