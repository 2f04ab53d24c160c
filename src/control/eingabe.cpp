#include "control/eingabe.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <list>
#include <memory>
#include <new>
#include <sstream>
#include <utility>

#include "sequence/data.h"
#include "sequence/fatal.h"
#include "sequence/precision.h"

namespace {

// Range tests in single precision; values that are not finite fail.
bool sp_above(double x, double bound) { return std::isfinite(x) && single_precision(x) > bound; }
bool sp_below(double x, double bound) { return std::isfinite(x) && single_precision(x) < bound; }

// Longer masks cannot fit any model (the largest has 190 parameters).
const long long max_mask_length = 191;

// Bounds of values that pass the other checks but break a run, each well
// inside the range that works.
// Branch-length moves: runs break from about 1e20; branch times from the
// line minimiser are at most 1000.
const double max_delta = 1000.0;
// Rate parameters, against the fixed exchangeabilities of 1: runs break from
// about 1e100, the rate matrix overflows near 1e308.
const double max_rate = 1e6;
// Frequencies: one that dominates the others spoils the eigen system from
// about 1e10 times the smallest ...
const double max_freq_ratio = 1e6;
// ... and their sum must stay finite.
const double max_freq = 1e100;

// A value of the right kind that the option cannot take: the text as
// written without its surrounding blanks.
[[noreturn]] void bad_value(std::string value, const char* name, const char* why) {
    const char* blanks = " \t\r\n\v\f";
    value.erase(0, value.find_first_not_of(blanks));
    value.erase(value.find_last_not_of(blanks) + 1);
    fatal("Invalid value ", value, " to option ", name, " (", why, ")\n");
}

// A list item, in the fewest digits that give it back.
[[noreturn]] void bad_value(double value, const char* name, const char* why) {
    std::ostringstream text;
    for (int digits = 6; digits <= 17; ++digits) {
        text.str("");
        text << std::setprecision(digits) << value;
        if (std::strtod(text.str().c_str(), nullptr) == value) break;
    }
    bad_value(text.str(), name, why);
}

const char* const not_integer = "an integer is expected";
const char* const not_number = "a number is expected";

int subst_param_count(subarch m) {
    switch (m) {
    case GENREV: return 6;
    case TAMNEI:
    case KIMURA3P: return 2;
    case HKY:
    case KIMURA2P: return 1;
    case MV2000: return 190;
    case FEL81:
    case JC69:
    case JTT:
    case DAYHOFF:
    case MTREV24:
    case BLOSUM62: return 0;
    default: break;
    }
    fatal("Unknown substitution model in function keepfixed.\n");
}

int indel_param_count(idarch m) {
    switch (m) {
    case TKF1: return 2;
    case TKF2: return 3;
    default: break;
    }
    fatal("Unknown indel model in function keepfixed.\n");
}

// A given list of rate parameters has the count of the model's defaults and
// values in range; without a list the defaults hold.
void rate_list(std::vector<double>& params, bool given, std::vector<double> defaults,
               const char* count_message) {
    if (!given) {
        params = std::move(defaults);
        return;
    }
    if (params.size() != defaults.size()) fatal(count_message);
    for (double p : params)
        if (!sp_above(p, 0.0))
            fatal("The parameters of the substitution model\n", "have to be positive.\n");
    for (double p : params)
        if (p > max_rate) bad_value(p, "parameter", "out of range: at most 1e6");
}

bool equal_base_freqs(const std::vector<double>& f) {
    for (double x : f)
        if (single_precision(x) != 0.25) return false;
    return true;
}

// Checks given frequencies against the model. Equal base frequencies turn
// some models into the one without frequencies: the model that holds.
subarch freqs_model(const std::vector<double>& freqs, subarch model) {
    for (double f : freqs)
        if (!sp_above(f, 0.0))
            fatal("All nucleotide or amino acid frequencies have to be positive.\n");

    const char* four = "Please specify exactly four frequencies for A,C,G and T.\n";
    const char* note = nullptr;
    subarch changed = model;
    // Decided on the model as it stands before the change.
    switch (model) {
    case GENREV:
        if (freqs.size() != 4) fatal(four);
        break;
    case TAMNEI:
        if (freqs.size() != 4) fatal(four);
        changed = KIMURA3P;
        note = "so the Tamura-Nei model becomes the KIMURA3P model.\n";
        break;
    case HKY:
        if (freqs.size() != 4) fatal(four);
        changed = KIMURA2P;
        note = "so the HKY model becomes the KIMURA2P model.\n";
        break;
    case FEL81:
        if (freqs.size() != 4) fatal(four);
        changed = JC69;
        note = "so the FEL81 model becomes the JC69 model.\n";
        break;
    case MV2000:
        if (freqs.size() != 20) fatal("Please specify exactly twenty amino acid frequencies.\n");
        break;
    case KIMURA2P:
    case KIMURA3P:
    case JC69:
        fatal("The substitution model that you want to use does not\n",
              "accept user specified rate parameters or state frequencies.\n");
    default: break;
    }
    const double fmax = *std::max_element(freqs.begin(), freqs.end());
    const double fmin = *std::min_element(freqs.begin(), freqs.end());
    if (fmax > max_freq) bad_value(fmax, "freqs", "out of range: at most 1e100");
    if (fmax > max_freq_ratio * fmin)
        bad_value(fmax, "freqs", "out of range: at most 1e6 times the smallest frequency");
    if (note != nullptr && equal_base_freqs(freqs)) {
        warn("You want all base frequencies to be equal,\n", note);
        return changed;
    }
    return model;
}

// What an item of type T must be.
const char* expected(double) { return not_number; }
const char* expected(unsigned long) { return not_integer; }

// A list of numbers, each item nothing but its number between blanks.
template <class T>
void number_list(const std::string& value, std::vector<T>& target, const char* name) {
    if (!stringtovector(value, target)) bad_value(value, name, expected(T{}));
}

// The one number of a VALUE.
template <class T>
T single_number(const std::string& value, const char* name) {
    std::vector<T> items;
    number_list(value, items, name);
    if (items.size() != 1) bad_value(value, name, expected(T{}));
    return items[0];
}

[[noreturn]] void bad_kind(option_arg kind, const char* name) {
    fatal("Invalid argument ", oatostring(kind), " to option ", name, "\n");
}

double cool_double(const std::string& value, option_arg kind, double def, const char* name) {
    if (kind == option_arg::DEFAULT) return def;
    if (kind == option_arg::VALUE) return single_number<double>(value, name);
    bad_kind(kind, name);
}

std::uint32_t cool_count(const std::string& value, option_arg kind, std::uint32_t def,
                         const char* name) {
    if (kind == option_arg::DEFAULT) return def;
    if (kind == option_arg::VALUE)
        return static_cast<std::uint32_t>(single_number<unsigned long>(value, name));
    bad_kind(kind, name);
}

// A model option: DEFAULT takes the default model, VALUE names one. A model
// given again replaces the earlier one after a warning.
template <class M>
void set_model(M& model, bool& given, const std::string& value, option_arg kind, M def,
               M (*parse)(std::string), const char* again) {
    if (given) warn("\nWARNING:\n", again, "The older value is now overwritten.\n\n");
    if (kind == option_arg::DEFAULT) {
        given = true;
        model = def;
    } else if (kind == option_arg::VALUE) {
        given = true;
        model = parse(value);
    } else {
        bad_kind(kind, "model");
    }
}

// A list option: DEFAULT drops the list, VECTOR gives it. A list given again
// replaces the earlier one after a warning.
void set_list(std::vector<double>& list, bool& given, const std::string& value, option_arg kind,
              const char* name, const char* again) {
    if (given) warn("\nWARNING:\n", again, "The older values are now overwritten.\n\n");
    if (kind == option_arg::DEFAULT) {
        given = false;
    } else if (kind == option_arg::VECTOR) {
        given = true;
        number_list(value, list, name);
    } else {
        bad_kind(kind, name);
    }
}

}  // namespace

// ---- SUBST ----

void substmod_parameters::adjust(subst_option opt, std::string value, option_arg kind) {
    switch (opt) {
    case subst_option::MODEL: setmodel(value, kind); return;
    case subst_option::PARAMETER: setparams(value, kind); return;
    case subst_option::FREQS: setfreqs(value, kind); return;
    default: break;
    }
    fatal("Impossible option ", static_cast<int>(opt), " under headline SUBST\n");
}

void substmod_parameters::setmodel(std::string value, option_arg kind) {
    set_model(model, model_given, value, kind, JC69, stringtosubarch,
              "The substitution model has already been set.\n");
}

void substmod_parameters::setparams(std::string value, option_arg kind) {
    set_list(params, params_given, value, kind, "parameter",
             "The substitution model's parameters have already been set.\n");
}

void substmod_parameters::setfreqs(std::string value, option_arg kind) {
    // Estimating the frequencies is what the default does.
    if (kind == option_arg::ESTIMATE) kind = option_arg::DEFAULT;
    set_list(freqs, freqs_given, value, kind, "freqs",
             "The base or amino acid frequencies have already been set.\n");
}

void substmod_parameters::abgleich() {
    if (!model_given) {
        if (params_given || freqs_given)
            fatal("Please specify a substitution model using the option 'model=X'\n",
                  "Possible choices for X are:\n",
                  "for nucleotides:             for amino acids:\n",
                  "   FEL81                        MV2000\n",
                  "   JC69                         DAYHOFF\n",
                  "   HKY                          BLOSUM62\n",
                  "   KIMURA2P                     JTT\n",
                  "   TAMNEI                       MTREV24\n", "   KIMURA3P\n", "   GENREV\n\n");
        model = JC69;
        return;
    }

    switch (model) {
    case GENREV:
        rate_list(params, params_given, std::vector<double>(6, 1.0),
                  "The general reversible model has six rate parameters.\n");
        break;
    case TAMNEI:
    case KIMURA3P:
        rate_list(params, params_given, {0.5, 1.0},
                  "The Tamura-Nei and the Kimura3P model have two rate parameters.\n");
        break;
    case HKY:
    case KIMURA2P:
        rate_list(params, params_given, {0.5},
                  "The HKY and the K2P model have only one rate parameter.\n");
        break;
    case FEL81:
    case JC69:
        if (params_given)
            fatal("The Felsenstein model and the Jukes Cantor do not use\n",
                  "any rate parameters.\n");
        params.clear();
        break;
    case MV2000:
        rate_list(params, params_given, std::vector<double>(190, 1.0),
                  "The general reversible model for proteins has 190 rate parameters.\n");
        break;
    case JTT:
    case DAYHOFF:
    case MTREV24:
    case BLOSUM62:
        if (params_given || freqs_given)
            fatal("The substitution model that you want to use does not\n",
                  "accept user specified rate parameters or amino acid\n", "frequencies.\n");
        break;
    default: fatal("Unknown substitution model\n");
    }

    if (freqs_given) model = freqs_model(freqs, model);
}

// ---- INDEL ----

void indel_parameters::adjust(indel_option opt, std::string value, option_arg kind) {
    switch (opt) {
    case indel_option::MODEL: setmodel(value, kind); return;
    case indel_option::PARAMETER: setparams(value, kind); return;
    default: break;
    }
    fatal("Impossible option under headline INDEL\n");
}

void indel_parameters::setmodel(std::string value, option_arg kind) {
    set_model(model, model_given, value, kind, TKF1, stringtoidarch,
              "The insertion deletion model has already been set.\n");
}

void indel_parameters::setparams(std::string value, option_arg kind) {
    set_list(params, params_given, value, kind, "parameter",
             "The insertion deletion model's parameters have already been set.\n");
}

void indel_parameters::abgleich() {
    if (!model_given) {
        if (params_given)
            fatal("Please specify an insertion and deletion model.\n", "Possible choices are:\n",
                  "     TKF1\n", "     TKF2\n\n");
        model = TKF1;
        params = {0.01, 0.011};
        return;
    }
    // Both rates positive, the insertion rate below the deletion rate.
    auto rates_ok = [this] {
        return sp_above(params[0], 0.0) && sp_above(params[1], 0.0) && params[0] < params[1];
    };
    switch (model) {
    case TKF1:
        if (!params_given) {
            params = {0.01, 0.011};
            return;
        }
        if (params.size() != 2) fatal("The TKF1 model has two parameters.\n");
        if (!rates_ok())
            fatal("Both rates of the TKF1 model have to be positive and\n",
                  "the first rate has to be smaller than the second one.\n");
        return;
    case TKF2:
        if (!params_given) {
            params = {0.01, 0.011, 0.5};
            return;
        }
        if (params.size() != 3) fatal("The TKF2 model has three parameters.\n");
        if (!rates_ok())
            fatal("Both rates of the TKF2 model have to be positive and\n",
                  "the first rate has to be smaller than the second one.\n");
        if (!(sp_above(params[2], 0.0) && sp_below(params[2], 1.0)))
            fatal("The third parameter of the TKF2 model should be positive\n",
                  "and smaller than 1.\n");
        return;
    default: break;
    }
    fatal("Unknown insertion and deletion model\n");
}

// ---- FILES ----

namespace {

// A file name, which no open takes when it is empty.
void set_name(std::string& name, const std::string& value, const char* option) {
    if (value.empty()) fatal("No file name given to option ", option, "\n");
    name = value;
}

}  // namespace

void filenames::adjust(files_option opt, std::string value) {
    switch (opt) {
    case files_option::INFILE: set_name(infile, value, "infile"); return;
    case files_option::GUIDETREE: set_name(guidetree, value, "guidetree"); return;
    case files_option::OUTTREE: set_name(outtree, value, "outtree"); return;
    case files_option::OUTALIGN: set_name(outalign, value, "outalign"); return;
    case files_option::OUTPARAM: set_name(outparam, value, "outparam"); return;
    case files_option::LOGFILE: set_name(logfile, value, "logfile"); return;
    case files_option::FORMAT: {
        bool whole = true;
        if (!scan_int32(value, format, whole))
            fatal("Cannot scan from the argument of 'format = '\n");
        if (!whole) bad_value(value, "format", not_integer);
        require_format(format);
        return;
    }
    default: break;
    }
    fatal("Impossible option under headline FILES\n");
}

// ---- KEEP ----

void keep_intermediate::adjust(keep_option opt, std::string value, option_arg kind) {
    std::vector<bool>* mask = nullptr;
    bool* given = nullptr;
    const char* name = nullptr;
    switch (opt) {
    case keep_option::SUBSTMOD:
        mask = &subst_mask;
        given = &subst_given;
        name = "substmod";
        break;
    case keep_option::INDMOD:
        mask = &indel_mask;
        given = &indel_given;
        name = "indmod";
        break;
    default: fatal("Impossible option under headline KEEP\n");
    }
    if (kind == option_arg::ALL) {
        mask->clear();
        *given = true;
        return;
    }
    if (kind != option_arg::INTERVAL) fatal("Invalid argument to option ", name, "\n");
    std::list<int> indices;
    if (!stringtolist(value, indices)) bad_value(value, name, not_integer);
    indices.sort();
    if (indices.front() < 0) fatal("Invalid argument to option ", name, "\n");
    // A mask longer than any model's count fails in keepfixed whatever its
    // exact length, so it is cut there.
    const long long length = std::min(static_cast<long long>(indices.back()) + 1, max_mask_length);
    mask->assign(static_cast<std::size_t>(length), false);
    for (int i : indices)
        if (i < length) (*mask)[static_cast<std::size_t>(i)] = true;
    *given = true;
}

// ---- hold-fixed flags ----

keepfixed::keepfixed(subarch sm, idarch im)
    : subfix(static_cast<std::size_t>(subst_param_count(sm)), false),
      indfix(static_cast<std::size_t>(indel_param_count(im)), false) {}

keepfixed::keepfixed(subarch sm, idarch im, keep_intermediate keep) : keepfixed(sm, im) {
    if (keep.subst_mask.size() > subfix.size() || keep.indel_mask.size() > indfix.size())
        fatal("You want to keep more parameters fixed than possible\n");
    if (keep.subst_given && keep.subst_mask.empty()) subfix.assign(subfix.size(), true);
    else std::copy(keep.subst_mask.begin(), keep.subst_mask.end(), subfix.begin());
    if (keep.indel_given && keep.indel_mask.empty()) indfix.assign(indfix.size(), true);
    else std::copy(keep.indel_mask.begin(), keep.indel_mask.end(), indfix.begin());
}

keepfixed keepfixed::operator=(keepfixed other) {
    subfix = other.subfix;
    indfix = other.indfix;
    return *this;
}

// ---- COOL ----

cooling cooling::operator=(cooling other) {
    delta = other.delta;
    coolali = other.coolali;
    ctree = other.ctree;
    cparam = other.cparam;
    alphatree = other.alphatree;
    alphaparam = other.alphaparam;
    maxsteps = other.maxsteps;
    reportafter = other.reportafter;
    resamprange = other.resamprange;
    burnin = other.burnin;
    return *this;
}

void cooling::adjust(cool_option opt, std::string value, option_arg kind) {
    switch (opt) {
    case cool_option::DELTA: setdelta(value, kind); return;
    case cool_option::COOLALI: setcoolali(value, kind); return;
    case cool_option::CTREE: setctree(value, kind); return;
    case cool_option::CPARAM: setcparam(value, kind); return;
    case cool_option::ALPHATREE: setalphatree(value, kind); return;
    case cool_option::ALPHAPARAM: setalphaparam(value, kind); return;
    case cool_option::BURNIN: setburnin(value, kind); return;
    case cool_option::MAXSTEPS: setmaxsteps(value, kind); return;
    case cool_option::REPORTAFTER: setreportafter(value, kind); return;
    case cool_option::RESAMPRANGE: setresamprange(value, kind); return;
    default: break;
    }
    fatal("Impossible option under headline COOL\n");
}

void cooling::setdelta(std::string value, option_arg kind) {
    delta = cool_double(value, kind, default_delta, "delta");
    if (!sp_above(delta, 0.0)) fatal("Delta has to be positive!\n");
    if (delta > max_delta) bad_value(value, "delta", "out of range: at most 1000");
}

void cooling::setcoolali(std::string value, option_arg kind) {
    coolali = cool_double(value, kind, default_coolali, "coolali");
    if (!sp_above(coolali, 1.0)) fatal("Coolali has to be bigger than 1.0\n");
    if (coolali > 1.001) warn("WARNING: coolali should only be slightly bigger than 1.0\n");
}

void cooling::setctree(std::string value, option_arg kind) {
    ctree = cool_double(value, kind, default_ctree, "ctree");
    if (!sp_above(ctree, 0.0)) fatal("ctree has to be bigger than 0.0\n");
}

void cooling::setcparam(std::string value, option_arg kind) {
    cparam = cool_double(value, kind, default_cparam, "cparam");
    if (!sp_above(cparam, 0.0)) fatal("cparam has to be bigger than 1.0\n");
}

void cooling::setalphatree(std::string value, option_arg kind) {
    alphatree = cool_double(value, kind, default_alphatree, "alphatree");
    if (!sp_above(alphatree, 0.0)) fatal("alphatree has to be bigger than 0.0\n");
}

void cooling::setalphaparam(std::string value, option_arg kind) {
    alphaparam = cool_double(value, kind, default_alphaparam, "alphaparam");
    if (!sp_above(alphaparam, 0.0)) fatal("alphaparam has to be bigger than 1.0\n");
}

void cooling::setburnin(std::string value, option_arg kind) {
    burnin = cool_count(value, kind, default_burnin, "burn_in");
    if (!(burnin > 1)) fatal("You should allow more than one burn in steps!\n");
}

void cooling::setmaxsteps(std::string value, option_arg kind) {
    maxsteps = cool_count(value, kind, default_maxsteps, "maxsteps");
}

void cooling::setreportafter(std::string value, option_arg kind) {
    reportafter = cool_count(value, kind, default_reportafter, "reportafter");
    // The step counter is taken modulo this value.
    if (reportafter == 0) fatal("reportafter has to be bigger than 0\n");
}

void cooling::setresamprange(std::string value, option_arg kind) {
    resamprange = cool_count(value, kind, default_resamprange, "resamprange");
    if (resamprange == 0) bad_value(value, "resamprange", "out of range: at least 1");
    // The window length is used as an int.
    if (resamprange > static_cast<std::uint32_t>(INT_MAX))
        resamprange = static_cast<std::uint32_t>(INT_MAX);
}

// ---- reader ----

void eingabe_parameter::from_file(const char* path) {
    std::ifstream in(path);
    if (in.fail()) fatal("cannot open file ", path, "\n");
    const std::streamsize buflen = 2000;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[buflen]);
    if (!buf) fatal("Cannot allocate buffer for the control file.\n");

    keep_intermediate keep;
    int section = 0;
    unsigned long lineno = 0;
    while (!in.eof()) {
        in.getline(buf.get(), buflen);
        ++lineno;
        if (in.bad()) fatal("Cannot read line ", lineno, " of control file ", path, "\n");
        if (in.fail()) {
            if (in.eof() && in.gcount() == 0) break;  // the empty read at the end
            fatal("Line ", lineno, " of control file ", path, " is longer than 1999 characters\n");
        }
        // The line break, when read, is counted but not stored.
        const std::streamsize len = in.eof() ? in.gcount() : in.gcount() - 1;
        const std::string line(buf.get(), static_cast<std::size_t>(len));

        const int s = isnewpart(line);
        if (s != 0 && s != section) {
            section = s;
            continue;
        }
        std::string value;
        option_arg kind = option_arg::NONE;
        switch (section) {
        case 1: {
            subst_option o = whichsubstoption(line, value, kind);
            if (o != subst_option::NONE) subst.adjust(o, value, kind);
            break;
        }
        case 2: {
            indel_option o = whichindeloption(line, value, kind);
            if (o != indel_option::NONE) indelp.adjust(o, value, kind);
            break;
        }
        case 3: {
            files_option o = whichfilesoption(line, value, kind);
            if (o != files_option::NONE) files.adjust(o, value);
            break;
        }
        case 4: {
            keep_option o = whichkeepoption(line, value, kind);
            if (o != keep_option::NONE) keep.adjust(o, value, kind);
            break;
        }
        case 5: {
            cool_option o = whichcooloption(line, value, kind);
            if (o != cool_option::NONE) cool.adjust(o, value, kind);
            break;
        }
        default: break;
        }
    }
    in.close();

    subst.abgleich();
    indelp.abgleich();
    fix = keepfixed(subst.model, indelp.model, keep);
}
