#include "control/parser.h"

#include <cctype>
#include <climits>
#include <cstdlib>

#include "sequence/fatal.h"

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool is_print(char c) { return std::isprint(static_cast<unsigned char>(c)) != 0; }

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool contains(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}

// Cuts the line at its first "#" and splits it at the first split
// character; false when nothing remains or there is no split character.
// The value keeps the split character when keep_split is set.
bool split_option(const std::string& line, char split, bool keep_split, std::string& key,
                  std::string& value) {
    std::string cut = line.substr(0, line.find('#'));
    if (cut.empty()) return false;
    std::string::size_type p = cut.find(split);
    if (p == std::string::npos) return false;
    key = cut.substr(0, p);
    value = cut.substr(keep_split ? p : p + 1);
    return true;
}

// Sign and decimal digits as strtoul/strtol read them after leading blanks.
// Sets negative, the magnitude (saturated at limit), overflow, and whole
// when nothing but blanks follows the digits.
bool scan_decimal(const std::string& item, bool& negative, unsigned long long& magnitude,
                  bool& overflow, bool& whole, unsigned long long limit) {
    std::string::size_type i = 0;
    const std::string::size_type n = item.size();
    while (i < n && is_space(item[i])) ++i;
    negative = false;
    if (i < n && (item[i] == '+' || item[i] == '-')) {
        negative = item[i] == '-';
        ++i;
    }
    if (i >= n || item[i] < '0' || item[i] > '9') return false;
    magnitude = 0;
    overflow = false;
    for (; i < n && item[i] >= '0' && item[i] <= '9'; ++i) {
        if (overflow) continue;
        magnitude = magnitude * 10 + static_cast<unsigned long long>(item[i] - '0');
        if (magnitude > limit) overflow = true;
    }
    while (i < n && is_space(item[i])) ++i;
    whole = i == n;
    return true;
}

// Scans every item; returns true when scan marked every item as whole.
template <class T, class Scan>
bool scan_list(const std::string& text, std::vector<T>& target, const char* fname, Scan scan) {
    if (!text.empty() && text[0] == ',')
        fatal("Invalid string ", text, " in function ", fname, "\n");
    std::vector<T> values;
    bool all_whole = true;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type comma = text.find(',', start);
        std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        T v{};
        bool whole = true;
        if (!scan(item, v, whole)) fatal("Cannot scan from string ", text, "\n");
        all_whole = all_whole && whole;
        values.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    target = values;
    return all_whole;
}

}  // namespace

bool scan_ulong32(const std::string& item, unsigned long& out, bool& whole) {
    const unsigned long long max32 = 4294967295ULL;
    bool negative = false, overflow = false;
    unsigned long long m = 0;
    if (!scan_decimal(item, negative, m, overflow, whole, max32)) return false;
    if (overflow) out = static_cast<unsigned long>(max32);
    else if (negative) out = static_cast<unsigned long>((max32 + 1 - m) & max32);
    else out = static_cast<unsigned long>(m);
    return true;
}

bool scan_int32(const std::string& item, int& out, bool& whole) {
    // One above INT_MAX, so that INT_MIN is reached without overflow.
    const unsigned long long limit = static_cast<unsigned long long>(INT_MAX) + 1;
    bool negative = false, overflow = false;
    unsigned long long m = 0;
    if (!scan_decimal(item, negative, m, overflow, whole, limit)) return false;
    if (negative) {
        out = (overflow || m >= limit) ? INT_MIN : -static_cast<int>(m);
    } else {
        out = (overflow || m > static_cast<unsigned long long>(INT_MAX)) ? INT_MAX
                                                                         : static_cast<int>(m);
    }
    return true;
}

bool scan_double(const std::string& item, double& out, bool& whole) {
    const char* begin = item.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin) return false;
    std::string::size_type i = static_cast<std::string::size_type>(end - begin);
    while (i < item.size() && is_space(item[i])) ++i;
    whole = i == item.size();
    out = v;
    return true;
}

bool findanycase(std::string text, std::string word) {
    return upper(text).find(upper(word)) != std::string::npos;
}

int isnewpart(std::string line) {
    std::string::size_type colon = line.find(':');
    if (colon == std::string::npos) return 0;
    std::string::size_type hash = line.find('#');
    if (hash != std::string::npos && hash < colon) return 0;
    const std::string head = line.substr(0, colon);
    static const char* const words[] = {"SUBST", "INDEL", "FILES", "KEEP", "COOL"};
    for (int i = 0; i < 5; ++i)
        if (findanycase(head, words[i])) return i + 1;
    return 0;
}

subst_option whichsubstoption(std::string line, std::string& value, option_arg& kind) {
    std::string key, v;
    if (!split_option(line, '=', false, key, v)) return subst_option::NONE;
    kind = typ_of_arg(v);
    value = v;
    if (issubstmodel(key)) return subst_option::MODEL;
    if (issubstparameter(key)) return subst_option::PARAMETER;
    if (issubstfreqs(key)) return subst_option::FREQS;
    return subst_option::NONE;
}

indel_option whichindeloption(std::string line, std::string& value, option_arg& kind) {
    std::string key, v;
    if (!split_option(line, '=', false, key, v)) return indel_option::NONE;
    kind = typ_of_arg(v);
    value = v;
    if (isindmodel(key)) return indel_option::MODEL;
    if (isindparameter(key)) return indel_option::PARAMETER;
    return indel_option::NONE;
}

files_option whichfilesoption(std::string line, std::string& value, option_arg& kind) {
    std::string key, v;
    if (!split_option(line, '=', false, key, v)) return files_option::NONE;
    v = firstword(v);
    kind = typ_of_arg(v);
    value = v;
    if (isinfile(key)) return files_option::INFILE;
    if (isguidetree(key)) return files_option::GUIDETREE;
    if (isouttree(key)) return files_option::OUTTREE;
    if (isoutalign(key)) return files_option::OUTALIGN;
    if (islogfile(key)) return files_option::LOGFILE;
    if (isFormat(key)) return files_option::FORMAT;
    if (isoutparam(key)) return files_option::OUTPARAM;
    return files_option::NONE;
}

keep_option whichkeepoption(std::string line, std::string& value, option_arg& kind) {
    std::string key, v;
    if (!split_option(line, '[', true, key, v)) return keep_option::NONE;
    kind = typ_of_arg(v);
    value = v;
    if (issubstmod(key)) return keep_option::SUBSTMOD;
    if (isindmod(key)) return keep_option::INDMOD;
    return keep_option::NONE;
}

cool_option whichcooloption(std::string line, std::string& value, option_arg& kind) {
    std::string key, v;
    if (!split_option(line, '=', false, key, v)) return cool_option::NONE;
    kind = typ_of_arg(v);
    value = v;
    if (isdelta(key)) return cool_option::DELTA;
    if (iscoolali(key)) return cool_option::COOLALI;
    if (isctree(key)) return cool_option::CTREE;
    if (iscparam(key)) return cool_option::CPARAM;
    if (ismaxsteps(key)) return cool_option::MAXSTEPS;
    if (isreportafter(key)) return cool_option::REPORTAFTER;
    if (isresamprange(key)) return cool_option::RESAMPRANGE;
    if (isburnin(key)) return cool_option::BURNIN;
    if (isalphatree(key)) return cool_option::ALPHATREE;
    if (isalphaparam(key)) return cool_option::ALPHAPARAM;
    return cool_option::NONE;
}

bool issubstmodel(std::string key) { return findanycase(key, "model"); }
bool issubstparameter(std::string key) { return findanycase(key, "parameter"); }
bool issubstfreqs(std::string key) { return findanycase(key, "freqs"); }
bool isindmodel(std::string key) { return findanycase(key, "model"); }
bool isindparameter(std::string key) { return findanycase(key, "parameter"); }
bool isinfile(std::string key) { return findanycase(key, "infile"); }
bool isguidetree(std::string key) { return findanycase(key, "guidetree"); }
bool isouttree(std::string key) { return findanycase(key, "outtree"); }
bool isoutalign(std::string key) { return findanycase(key, "outalign"); }
bool isoutparam(std::string key) { return findanycase(key, "outparam"); }
bool islogfile(std::string key) { return findanycase(key, "logfile"); }
bool isFormat(std::string key) { return findanycase(key, "format"); }
bool issubstmod(std::string key) { return findanycase(key, "substmod"); }
bool isindmod(std::string key) { return findanycase(key, "indmod"); }
bool isdelta(std::string key) { return findanycase(key, "delta"); }
bool iscoolali(std::string key) { return findanycase(key, "coolali"); }
bool isctree(std::string key) { return findanycase(key, "ctree"); }
bool iscparam(std::string key) { return findanycase(key, "cparam"); }
bool isalphatree(std::string key) { return findanycase(key, "alphatree"); }
bool isalphaparam(std::string key) { return findanycase(key, "alphaparam"); }
bool isburnin(std::string key) { return findanycase(key, "burnin"); }
bool ismaxsteps(std::string key) { return findanycase(key, "maxsteps"); }
bool isreportafter(std::string key) { return findanycase(key, "reportafter"); }
bool isresamprange(std::string key) { return findanycase(key, "resamprange"); }

option_arg typ_of_arg(std::string& value) {
    const std::string::size_type npos = std::string::npos;
    const std::string::size_type po = value.find('('), pc = value.find(')');
    const std::string::size_type bo = value.find('['), bc = value.find(']');
    if (po != npos) {
        if (pc == npos || pc < po || bo != npos || bc != npos)
            fatal("Invalid string ", value, " in control file\n");
        value = value.substr(po + 1, pc - po - 1);
        return option_arg::VECTOR;
    }
    if (bo != npos) {
        if (bc == npos || bc < bo || pc != npos)
            fatal("Invalid string ", value, " in control file\n");
        value = value.substr(bo + 1, bc - bo - 1);
        if (contains(value, "ALL") || contains(value, "all") || contains(value, "All"))
            return option_arg::ALL;
        return option_arg::INTERVAL;
    }
    if (contains(value, "DEFAULT") || contains(value, "default") || contains(value, "Default"))
        return option_arg::DEFAULT;
    if (contains(value, "ESTIMATE") || contains(value, "estimate") || contains(value, "Estimate"))
        return option_arg::ESTIMATE;
    return option_arg::VALUE;
}

bool stringtovector(std::string text, std::vector<double>& target) {
    return scan_list(text, target, "stringtovector", scan_double);
}

bool stringtovector(std::string text, std::vector<unsigned long>& target) {
    return scan_list(text, target, "stringtovector", scan_ulong32);
}

bool stringtolist(std::string text, std::list<int>& target) {
    std::vector<int> values;
    const bool whole = scan_list(text, values, "stringtolist", scan_int32);
    target.assign(values.begin(), values.end());
    return whole;
}

std::string oatostring(option_arg kind) {
    switch (kind) {
    case option_arg::NONE: return "NONE";
    case option_arg::DEFAULT: return "DEFAULT";
    case option_arg::ESTIMATE: return "ESTIMATE";
    case option_arg::VALUE: return "VALUE";
    case option_arg::VECTOR: return "VECTOR";
    case option_arg::INTERVAL: return "INTERVAL";
    case option_arg::ALL: return "ALL";
    }
    fatal("Unknown value of oa\n");
}

std::string firstword(std::string text) {
    std::string::size_type i = 0;
    const std::string::size_type n = text.size();
    while (i < n && !(is_print(text[i]) && !is_space(text[i]))) ++i;
    std::string::size_type start = i;
    while (i < n && is_print(text[i]) && !is_space(text[i])) ++i;
    return text.substr(start, i - start);
}

subarch stringtosubarch(std::string value) {
    static const char* const words[] = {"GENREV",  "TAMNEI",   "HKY",    "KIMURA2P", "KIMURA3P",
                                        "FEL81",   "JC69",     "MV2000", "JTT",      "DAYHOFF",
                                        "MTREV24", "BLOSUM62", "SH94"};
    for (int i = 0; i <= static_cast<int>(SH94); ++i)
        if (findanycase(value, words[i])) return static_cast<subarch>(i);
    fatal("No key word was found where the name of\n", "the substitution model was expected.\n");
}

idarch stringtoidarch(std::string value) {
    static const char* const words[] = {"TKF1", "TKF2", "FID"};
    for (int i = 0; i <= static_cast<int>(FID); ++i)
        if (findanycase(value, words[i])) return static_cast<idarch>(i);
    fatal("No key word was found where the name of the\n",
          "insertion-deletion model was expected.\n");
}
