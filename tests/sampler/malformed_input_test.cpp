// Malformed inputs: a run on a damaged control file, sequence file or guide
// tree ends either normally or with a message on standard error and exit
// status 1; never by a signal, a sanitizer report, another status or a hang.
//
// Variants come from small valid runs by seeded mutations, plus a table of
// hand-written cases. A failure prints the variant so that it can be rerun.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sampler/quillmar.h"
#include "sequence/random.h"
#include "support/subprocess.h"

namespace {

namespace fs = std::filesystem;

enum file_kind { kControl = 0, kSequences = 1, kTree = 2 };
const char* const kFileNames[] = {"control.txt", "seqs.txt", "guide.tree"};
const char* const kKindNames[] = {"control file", "sequence file", "guide tree"};

struct inputs {
    std::string text[3];
    int directory = -1;  // file kind written as an empty folder instead
};

struct variant {
    std::string what;  // how it was made
    int kind = kControl;
    inputs in;
};

// The control file is its mutable body followed by a fixed tail that keeps
// every run to a few steps whatever the body says.
const char* const kTail = "COOL:\nmaxsteps = 3\nreportafter = 1\nburnin = 2\n";

std::string control_body(const std::string& subst, const std::string& indel, int format) {
    return "# small run\nSUBST:\n" + subst + "INDEL:\n" + indel +
           "FILES:\ninfile = seqs.txt\nformat = " + std::to_string(format) +
           "\nguidetree = guide.tree\nouttree = result.tree\noutalign = result.phy\n"
           "outparam = result.param\nlogfile = run.log\nKEEP:\nindmod [1]\n"
           "COOL:\ndelta = 1.0\ncoolali = 1.00001\nctree = 0.5\ncparam = 0.5\n"
           "alphatree = 0.5\nalphaparam = 0.5\nresamprange = 50\n";
}

std::string with_tail(std::string body) {
    if (!body.empty() && body.back() != '\n') body += '\n';
    return body + kTail;
}

const char* const kDnaSubst = "model = HKY\nparameter = (2.0)\nfreqs = (0.3, 0.2, 0.2, 0.3)\n";
const char* const kTkf1 = "model = TKF1\nparameter = (0.01, 0.011)\n";
const char* const kGuide =
    "((alpha00001:0.1,bravo00002:0.2):0.05,charlie003:0.3,delta00004:0.1);\n";

const char* const kDnaFasta =
    ">alpha00001\nACGTTGCAACGTAGCTAGCTAGGA\n"
    ">bravo00002\nACGTTGCAACGTTGCTAGCAGGA\n"
    ">charlie003\nACTTTGCAACGAAGCTAGCTAGGCA\n"
    ">delta00004\nACGATGCAAGGTAGCTTGCTAGGA\n";

// Interleaved, two blocks; names fill their ten columns.
const char* const kDnaPhylip =
    "4 24\n"
    "alpha00001ACGTTGCAAC GTAG\n"
    "bravo00002ACGTTGCAAC GTTG\n"
    "charlie003ACTTTGCAAC GAAG\n"
    "delta00004ACGATGCAAG GTAG\n"
    "\n"
    "CTAGCTAGGA\n"
    "CTAGCA-GGA\n"
    "CTAGCTAGGC\n"
    "CTTGCTAGGA\n";

const char* const kProteinFasta =
    ">alpha00001\nCSWAKLRIHFILWIWQRWKKCFVDGHA\n"
    ">bravo00002\nCSWAKLRPHFILWIWQWMRQFVDVHAC\n"
    ">charlie003\nCSWAKLRIHFILWIWRWLKQVDGHAC\n"
    ">delta00004\nCWAKLVIADIWIYQRWTKQDVDGHAC\n";

struct base_run {
    const char* name;
    std::string body;  // control file without its tail
    std::string seqs;
};

std::vector<base_run> bases() {
    return {{"dna fasta", control_body(kDnaSubst, kTkf1, 0), kDnaFasta},
            {"dna phylip", control_body(kDnaSubst, kTkf1, 1), kDnaPhylip},
            {"protein fasta",
             control_body("model = JTT\n", "model = TKF2\nparameter = (0.01, 0.011, 0.5)\n", 0),
             kProteinFasta}};
}

// --- Mutations ---

const std::vector<std::string>& tokens() {
    static const std::vector<std::string> t = {
        "(",   ")",     ",",  ";",          ":",
        "[",   "]",     "=",  ">",          "-",
        "#",   " ",     "\t", "\r",         std::string(1, '\0'),
        "\n",  "0",     "1",  "7",          "9",
        "e",   "1e308", "-1", "4294967296", "1e-320",
        "nan", "inf",   "ALL"};
    return t;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size() - 1;
        lines.push_back(text.substr(at, nl + 1 - at));
        at = nl + 1;
    }
    return lines;
}

std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l;
    return s;
}

std::size_t pick(std::mt19937& g, std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(g);
}

// Applies one random mutation to text; returns its description.
std::string mutate(std::mt19937& g, std::string& text) {
    const std::size_t n = text.size();
    switch (pick(g, 7)) {
    case 0: {
        if (n == 0) break;
        const std::size_t at = pick(g, n);
        char c;
        do c = static_cast<char>(pick(g, 256));
        while (c == '/');  // no result file outside the scratch folder
        text[at] = c;
        return "byte " + std::to_string(at) + " set to " +
               std::to_string(static_cast<unsigned char>(c));
    }
    case 1: {
        if (n == 0) break;
        const std::size_t at = pick(g, n);
        const std::size_t len = 1 + pick(g, 4);
        text.erase(at, len);
        return "erase " + std::to_string(len) + " at " + std::to_string(at);
    }
    case 2:
    case 3: {
        const std::size_t at = pick(g, n + 1);
        const std::string& t = tokens()[pick(g, tokens().size())];
        text.insert(at, t);
        return "insert token " + std::to_string(&t - &tokens()[0]) + " at " + std::to_string(at);
    }
    case 4: {
        const std::size_t at = pick(g, n + 1);
        text.resize(at);
        return "truncate at " + std::to_string(at);
    }
    case 5: {
        auto lines = split_lines(text);
        if (lines.empty()) break;
        const std::size_t i = pick(g, lines.size());
        lines.insert(lines.begin() + static_cast<long>(i), lines[i]);
        text = join(lines);
        return "duplicate line " + std::to_string(i);
    }
    default: {
        auto lines = split_lines(text);
        if (lines.size() < 2) break;
        const std::size_t i = pick(g, lines.size()), j = pick(g, lines.size());
        std::swap(lines[i], lines[j]);
        text = join(lines);
        return "swap lines " + std::to_string(i) + " and " + std::to_string(j);
    }
    }
    return "unchanged";
}

// A PHYLIP header asking for over a million residues; such variants are
// left out, as the table alone would take that much memory.
bool announces_huge_table(const std::string& seqs) {
    std::istringstream head(seqs.substr(0, seqs.find('\n')));
    unsigned long long n = 0, len = 0;
    head >> n >> len;
    return head && n * len > 1000000ull;
}

// count variants with mutations in the file of one kind, the base runs in
// turn; every kind has its own fixed seed.
std::vector<variant> generated(int kind, unsigned count) {
    std::mt19937 g(20261210u + static_cast<unsigned>(kind));
    const auto runs = bases();
    std::vector<variant> out;
    while (out.size() < count) {
        const base_run& b = runs[out.size() % runs.size()];
        variant v;
        v.kind = kind;
        std::string body = b.body;
        v.in.text[kSequences] = b.seqs;
        v.in.text[kTree] = kGuide;
        std::string& target = kind == kControl ? body : v.in.text[kind];
        v.what = std::string(b.name) + ", " + kKindNames[kind] + ":";
        const std::size_t steps = 1 + pick(g, 2);
        for (std::size_t k = 0; k < steps; ++k) v.what += " " + mutate(g, target);
        v.in.text[kControl] = with_tail(body);
        if (kind == kControl && body.find('/') != std::string::npos) continue;
        if (b.seqs == kDnaPhylip && announces_huge_table(v.in.text[kSequences])) continue;
        out.push_back(v);
    }
    return out;
}

// --- Hand-written cases ---

std::vector<variant> handwritten() {
    const std::string fasta_ctl = with_tail(control_body(kDnaSubst, kTkf1, 0));
    const std::string phylip_ctl = with_tail(control_body(kDnaSubst, kTkf1, 1));
    const std::string long_name(5000, 'x');
    struct row {
        int kind;
        const char* what;
        std::string text;
        bool phylip;
    };
    const std::vector<row> rows = {
        // control file
        {kControl, "empty", "", false},
        {kControl, "only a header", "COOL:\n", false},
        {kControl, "headers only", "SUBST:\nINDEL:\nFILES:\nKEEP:\nCOOL:\n", false},
        {kControl, "open vector",
         with_tail(control_body("model = HKY\nparameter = (2.0\n", kTkf1, 0)), false},
        {kControl, "bracket kinds mixed",
         with_tail(control_body("model = HKY\nparameter = (2.0]\n", kTkf1, 0)), false},
        {kControl, "empty vector",
         with_tail(control_body("model = HKY\nparameter = ()\n", kTkf1, 0)), false},
        {kControl, "leading comma",
         with_tail(control_body("model = HKY\nparameter = (,2)\n", kTkf1, 0)), false},
        {kControl, "190 long exchangeabilities",
         with_tail(control_body("model = MV2000\nparameter = (" + std::string(2100, '1') + ")\n",
                                kTkf1, 0)),
         false},
        {kControl, "negative keep index",
         with_tail(control_body(kDnaSubst, kTkf1, 0) + "KEEP:\nsubstmod [-3]\n"), false},
        {kControl, "huge keep index",
         with_tail(control_body(kDnaSubst, kTkf1, 0) + "KEEP:\nsubstmod [4294967296]\n"), false},
        {kControl, "keep interval open",
         with_tail(control_body(kDnaSubst, kTkf1, 0) + "KEEP:\nindmod [0,1\n"), false},
        {kControl, "format huge",
         with_tail(control_body(kDnaSubst, kTkf1, 0) + "FILES:\nformat = 1e308\n"), false},
        {kControl, "format negative",
         with_tail(control_body(kDnaSubst, kTkf1, 0) + "FILES:\nformat = -1\n"), false},
        {kControl, "empty file names",
         with_tail(control_body(kDnaSubst, kTkf1, 0) + "FILES:\ninfile =\nguidetree = \n"), false},
        {kControl, "cooling values extreme",
         with_tail(control_body(kDnaSubst, kTkf1, 0) +
                   "delta = 1e308\ncoolali = 1e308\nctree = 1e-320\ncparam = 4294967296\n"
                   "alphatree = nan\nalphaparam = inf\nresamprange = 0\n"),
         false},
        {kControl, "rates at their bounds",
         with_tail(control_body("model = HKY\nparameter = (1e6)\n",
                                "model = TKF1\nparameter = (1e-6, 1e6)\n", 0)),
         false},
        {kControl, "cooling at the small end",
         with_tail(
             control_body(kDnaSubst, kTkf1, 0) +
             "delta = 1e-6\nctree = 1e-6\ncparam = 1e-6\nalphatree = 1e-6\nalphaparam = 1e-6\n"
             "resamprange = 1\n"),
         false},
        {kControl, "NUL bytes", std::string("SUBST:\0model = HKY\n\0\0", 22) + fasta_ctl, false},
        {kControl, "CRLF lines",
         [&] {
             std::string s;
             for (char c : fasta_ctl) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
             return s;
         }(),
         false},
        // FASTA
        {kSequences, "empty", "", false},
        {kSequences, "'>' alone", ">", false},
        {kSequences, "'>' and a line break", ">\n", false},
        {kSequences, "only a header", ">alpha00001\n", false},
        {kSequences, "text before the first header", "ACGT\n>alpha00001\nACGT\n", false},
        {kSequences, "all sequences empty", ">alpha00001\n>bravo00002\n>charlie003\n>delta00004\n",
         false},
        {kSequences, "one sequence empty",
         ">alpha00001\n>bravo00002\nACGT\n>charlie003\nACGTT\n>delta00004\nACG\n", false},
        {kSequences, "one sequence", ">alpha00001\nACGT\n", false},
        {kSequences, "names with blanks",
         ">alpha 00001\nACGT\n>bravo 00002\nACGT\n>charlie003\nACGT\n>delta00004\nACGT\n", false},
        {kSequences, "nameless records", ">\nACGT\n>\nACGT\n>\nACGT\n>\nACGT\n", false},
        {kSequences, "very long name",
         ">" + long_name + "\nACGT\n>bravo00002\nACGT\n>charlie003\nACGT\n>delta00004\nACGT\n",
         false},
        {kSequences, "same name twice",
         ">alpha00001\nACGT\n>alpha00001\nACGT\n>charlie003\nACGT\n>delta00004\nACGT\n", false},
        {kSequences, "one residue each",
         ">alpha00001\nA\n>bravo00002\nC\n>charlie003\nG\n>delta00004\nT\n", false},
        {kSequences, "only wildcards",
         ">alpha00001\nN\n>bravo00002\nNN\n>charlie003\nRY\n>delta00004\nN\n", false},
        {kSequences, "only gaps",
         ">alpha00001\n----\n>bravo00002\n--\n>charlie003\nACGT\n>delta00004\nACGT\n", false},
        {kSequences, "foreign symbols",
         ">alpha00001\nAC*GT\n>bravo00002\nAC.G\n>charlie003\nA1CGT\n>delta00004\nAC?GT\n", false},
        {kSequences, "U with amino acids",
         ">alpha00001\nACGU\n>bravo00002\nEFIL\n>charlie003\nACGT\n>delta00004\nACGT\n", false},
        {kSequences, "lower case and CR",
         ">alpha00001\r\nacgt\r\n>bravo00002\r\nacgt\r\n>charlie003\r\nacgt\r\n>"
         "delta00004\r\nacg\r\n",
         false},
        // PHYLIP
        {kSequences, "phylip empty", "", true},
        {kSequences, "phylip header only", "4 24\n", true},
        {kSequences, "phylip one number", "4\nalpha00001ACGT\n", true},
        {kSequences, "phylip zero sequences", "0 5\n", true},
        {kSequences, "phylip negative count", "-1 5\nalpha00001ACGTA\n", true},
        {kSequences, "phylip zero length", "4 0\nalpha00001\nbravo00002\ncharlie003\ndelta00004\n",
         true},
        {kSequences, "phylip length larger than the data", std::string("4 30\n") + (kDnaPhylip + 5),
         true},
        {kSequences, "phylip length smaller than the data",
         std::string("4 10\n") + (kDnaPhylip + 5), true},
        {kSequences, "phylip more sequences announced", std::string("6 24\n") + (kDnaPhylip + 5),
         true},
        {kSequences, "phylip fewer sequences announced", std::string("2 24\n") + (kDnaPhylip + 5),
         true},
        {kSequences, "phylip one sequence announced", std::string("1 24\n") + (kDnaPhylip + 5),
         true},
        {kSequences, "phylip text after the numbers",
         std::string("4 24 extra\n") + (kDnaPhylip + 5), true},
        {kSequences, "phylip dot in the first sequence",
         "4 4\nalpha00001AC.T\nbravo00002ACGT\ncharlie003ACGT\ndelta00004ACGT\n", true},
        {kSequences, "phylip short names", "4 4\na ACGT\nb ACGT\nc ACGT\nd ACGT\n", true},
        {kSequences, "phylip rows of unequal length",
         "4 6\nalpha00001ACGTAC\nbravo00002ACG\ncharlie003ACGTACGT\ndelta00004A\n", true},
        // guide tree
        {kTree, "empty", "", false},
        {kTree, "';' alone", ";", false},
        {kTree, "'(((' ", "(((", false},
        {kTree, "unbalanced open", "((alpha00001,bravo00002),charlie003,delta00004;\n", false},
        {kTree, "unbalanced close", "(alpha00001,bravo00002)),charlie003,delta00004);\n", false},
        {kTree, "no semicolon", "((alpha00001,bravo00002),charlie003,delta00004)\n", false},
        {kTree, "comment never closed", "[note ((alpha00001,bravo00002),charlie003,delta00004);\n",
         false},
        {kTree, "comment inside", "((alpha00001[x],bravo00002),charlie003,delta00004);\n", false},
        {kTree, "lone ']'", "]((alpha00001,bravo00002),charlie003,delta00004);\n", false},
        {kTree, "names with blanks", "((alpha 00001,bravo 00002),charlie003,delta00004);\n", false},
        {kTree, "very long name", "((" + long_name + ",bravo00002),charlie003,delta00004);\n",
         false},
        {kTree, "unknown name", "((alpha00001,zulu000009),charlie003,delta00004);\n", false},
        {kTree, "a leaf twice", "((alpha00001,alpha00001),charlie003,delta00004);\n", false},
        {kTree, "one leaf", "(alpha00001);\n", false},
        {kTree, "bare leaf", "alpha00001;\n", false},
        {kTree, "empty leaves", "((,),,);\n", false},
        {kTree, "empty group", "((alpha00001,bravo00002),(),charlie003,delta00004);\n", false},
        {kTree, "colon without length", "((alpha00001:,bravo00002:),charlie003:,delta00004:);\n",
         false},
        {kTree, "extreme lengths",
         "((alpha00001:1e308,bravo00002:-1):nan,charlie003:1e-320,delta00004:inf);\n", false},
        {kTree, "length 4294967296",
         "((alpha00001:4294967296,bravo00002),charlie003,delta00004);\n", false},
        {kTree, "root length and inner labels",
         "((alpha00001,bravo00002)inner:0.2,charlie003,delta00004)root:0.5;\n", false},
        {kTree, "two of the four leaves", "(alpha00001,bravo00002);\n", false},
        {kTree, "all lengths zero",
         "((alpha00001:0,bravo00002:0):0,(charlie003:0,delta00004:0):0);\n", false},
        {kTree, "two trees", std::string(kGuide) + kGuide, false},
        {kTree, "nested 300 deep",
         std::string(300, '(') + "alpha00001" + std::string(299, ')') +
             ",bravo00002,charlie003,delta00004);\n",
         false},
    };
    std::vector<variant> out;
    for (const auto& r : rows) {
        variant v;
        v.kind = r.kind;
        v.what = std::string("hand-written, ") + kKindNames[r.kind] + ": " + r.what;
        v.in.text[kControl] = r.phylip ? phylip_ctl : fasta_ctl;
        v.in.text[kSequences] = r.phylip ? kDnaPhylip : kDnaFasta;
        v.in.text[kTree] = kGuide;
        v.in.text[r.kind] = r.text;
        out.push_back(v);
    }
    for (int kind : {kControl, kTree}) {
        variant v;
        v.kind = kind;
        v.what = std::string("hand-written, ") + kKindNames[kind] + ": a folder";
        v.in.text[kControl] = fasta_ctl;
        v.in.text[kSequences] = kDnaFasta;
        v.in.text[kTree] = kGuide;
        v.in.directory = kind;
        out.push_back(v);
    }
    return out;
}

// --- Running and checking ---

// The text with line breaks kept and other unprintable bytes escaped.
std::string shown(const std::string& text) {
    std::string s;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n') s += "\\n\n";
        else if (c == '\\') s += "\\\\";
        else if (u >= 32 && u < 127) s += c;
        else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            s += buf;
        }
    }
    return s;
}

ChildResult run_variant(const inputs& in, int type) {
    const std::string dir = make_temp_dir();
    for (int k = 0; k < 3; ++k) {
        const std::string path = dir + "/" + kFileNames[k];
        if (k == in.directory) mkdir(path.c_str(), 0755);
        else write_file(path, in.text[k]);
    }
    ChildResult r = run_in_child(
        [&] {
            if (chdir(dir.c_str()) != 0) _exit(9);
            seedrandom(7);
            std::string a0 = "quillmar", a1 = kFileNames[kControl], a2 = std::to_string(type);
            char* argv[] = {&a0[0], &a1[0], &a2[0], nullptr};
            std::exit(quillmar_run(3, argv));
        },
        60);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return r;
}

// Empty when the run ended in an allowed way, else what went wrong.
std::string fault_of(const ChildResult& r) {
    if (r.timed_out) return "no end within the time limit";
    if (!r.exited) return "ended by signal " + std::to_string(r.signal);
    if (r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error:") != std::string::npos)
        return "sanitizer report";
    if (r.status != 0 && r.status != 1) return "exit status " + std::to_string(r.status);
    if (r.status == 1 && r.err.empty()) return "exit status 1 without a message";
    return "";
}

void check_all(const std::vector<variant>& variants) {
    for (std::size_t i = 0; i < variants.size(); ++i) {
        const variant& v = variants[i];
        const int type = static_cast<int>(i % 2);
        const ChildResult r = run_variant(v.in, type);
        const std::string fault = fault_of(r);
        if (fault.empty()) continue;
        ADD_FAILURE() << fault << ": variant " << i << " (" << v.what << "), analysis type " << type
                      << "\n"
                      << kKindNames[v.kind] << ":\n"
                      << (v.in.directory == v.kind ? "<a folder>" : shown(v.in.text[v.kind]))
                      << "\nstandard error:\n"
                      << r.err.substr(0, 4000);
    }
}

}  // namespace

TEST(MalformedInput, HandWrittenCases) { check_all(handwritten()); }

TEST(MalformedInput, MutatedControlFiles) { check_all(generated(kControl, 60)); }

TEST(MalformedInput, MutatedSequenceFiles) { check_all(generated(kSequences, 60)); }

TEST(MalformedInput, MutatedGuideTrees) { check_all(generated(kTree, 60)); }
