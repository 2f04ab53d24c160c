// Whole runs of the program on copies of the bundled examples: exit status,
// the reported log likelihoods and the invariants of the result files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/subprocess.h"

namespace {

struct Example {
    std::string dir;
    std::vector<std::string> names, seqs;  // as given to the program
};

// A folder with the example's files, the first `count` sequences cut to
// `len` residues, the guide tree and the control file given.
Example prepare(const std::string& example, size_t count, size_t len, const std::string& guide,
                const std::string& control) {
    Example e;
    e.dir = make_temp_dir();
    const std::string src = std::string(QUILLMAR_SOURCE_DIR) + "/examples/" + example + "/";
    std::istringstream in(read_file(src + "seqs.fasta"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (line[0] == '>') {
            e.names.push_back(line.substr(1));
            e.seqs.emplace_back();
        } else {
            e.seqs.back() += line;
        }
    }
    e.names.resize(std::min(count, e.names.size()));
    e.seqs.resize(e.names.size());
    std::string fasta;
    for (size_t i = 0; i < e.names.size(); ++i) {
        e.seqs[i] = e.seqs[i].substr(0, len);
        fasta += ">" + e.names[i] + "\n" + e.seqs[i] + "\n";
    }
    write_file(e.dir + "/seqs.fasta", fasta);
    write_file(e.dir + "/guide.tree", guide.empty() ? read_file(src + "guide.tree") : guide);
    // The example's control file up to its COOL section, then ours.
    std::string head = read_file(src + "control.txt");
    head = head.substr(0, head.find("COOL:"));
    write_file(e.dir + "/control.txt", head + control);
    return e;
}

double number_after(const std::string& text, const std::string& key) {
    const size_t p = text.find(key);
    if (p == std::string::npos) return std::nan("");
    return std::strtod(text.c_str() + p + key.size(), nullptr);
}

// Newick leaves in text order, and every split as its set of leaves below.
struct Tree {
    std::vector<std::string> leaves;
    std::vector<std::set<std::string>> clades;
};

std::set<std::string> parse(const std::string& s, size_t& p, Tree& t) {
    std::set<std::string> here;
    if (s[p] == '(') {
        ++p;
        for (;;) {
            std::set<std::string> sub = parse(s, p, t);
            here.insert(sub.begin(), sub.end());
            if (s[p] == ',') {
                ++p;
                continue;
            }
            ++p;  // ')'
            break;
        }
        t.clades.push_back(here);
    } else {
        std::string name;
        while (p < s.size() && s[p] != ':' && s[p] != ',' && s[p] != ')' && s[p] != ';')
            name += s[p++];
        t.leaves.push_back(name);
        here.insert(name);
    }
    if (s[p] == ':') {
        ++p;
        while (p < s.size() && s[p] != ',' && s[p] != ')' && s[p] != ';') ++p;
    }
    return here;
}

Tree parse_tree(const std::string& text) {
    Tree t;
    size_t p = 0;
    parse(text, p, t);
    return t;
}

// True when the tree separates the leaves of clade from all others.
bool has_split(const Tree& t, const std::set<std::string>& clade) {
    const std::set<std::string> all(t.leaves.begin(), t.leaves.end());
    std::set<std::string> rest;
    for (const std::string& n : all)
        if (!clade.count(n)) rest.insert(n);
    for (const auto& c : t.clades)
        if (c == clade || c == rest) return true;
    return false;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string line_after(const std::string& text, const std::string& key) {
    const size_t p = text.find(key);
    if (p == std::string::npos) return "";
    return text.substr(p, text.find('\n', p) - p);
}

// Runs the program and checks everything a finished run must show.
void check_run(const Example& e, const std::string& type,
               const std::vector<std::set<std::string>>& guide_clades,
               std::string* outp = nullptr) {
    ChildResult r = run_program({QUILLMAR_BINARY, "control.txt", type}, e.dir, 120);
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    if (outp) *outp = r.out;
    const std::string fl = line_after(r.out, "final log likelihood (after ");
    const double fin = std::strtod(fl.substr(fl.find("): ") + 3).c_str(), nullptr);
    const double high = number_after(r.out, "highest log likelihood: ");
    const std::string log = read_file(e.dir + "/run.log");
    const double start = number_after(log, "Step 0:\nlog likelihood = ");
    ASSERT_FALSE(fl.empty()) << r.out;
    EXPECT_GE(high, fin);
    EXPECT_GE(high, start);
    // The parameter file holds the best state's value.
    const std::string param = read_file(e.dir + "/result.param");
    EXPECT_EQ(line_after(param, "likelihood = "),
              "likelihood = " + line_after(r.out, "highest log likelihood: ").substr(24));
    EXPECT_NE(param.find("\nand 0 NNIs\n"), std::string::npos);

    // Alignment: one row per sequence, all of one length, the inputs again.
    std::istringstream al(read_file(e.dir + "/result.phy"));
    size_t rows = 0, cols = 0;
    al >> rows >> cols;
    std::string rest;
    std::getline(al, rest);
    ASSERT_EQ(rows, e.names.size());
    std::vector<std::string> order;
    for (size_t i = 0; i < rows; ++i) {
        std::string line;
        std::getline(al, line);
        ASSERT_EQ(line.size(), 10 + cols);
        std::string name = line.substr(0, 10);
        name.erase(name.find_last_not_of(' ') + 1);
        order.push_back(name);
        std::string ungapped;
        for (char c : line.substr(10))
            if (c != '-') ungapped += c;
        const size_t k = std::find(e.names.begin(), e.names.end(), name) - e.names.begin();
        ASSERT_LT(k, e.names.size()) << name;
        EXPECT_EQ(ungapped, upper(e.seqs[k])) << name;
    }
    // Tree: same leaves, in the order of the alignment rows; guide splits kept.
    const Tree t = parse_tree(read_file(e.dir + "/result.tree"));
    EXPECT_EQ(t.leaves, order);
    for (const auto& c : guide_clades) EXPECT_TRUE(has_split(t, c));
}

const std::string kCool =
    "COOL:\nmaxsteps = 300\nreportafter = 100\nburnin = 100\nresamprange = 10\n";

const std::vector<std::set<std::string>> kGuideClades{
    {"s1", "s2", "s3"}, {"s4", "s5"}, {"s6", "s7", "s8"}};

}  // namespace

TEST(EndToEndRun, DnaTypeZeroWithHeldParameters) {
    // HKY's parameter and the insertion rate held fixed.
    Example e = prepare("dna", 8, 80, "", "KEEP:\nsubstmod [ALL]\nindmod [0]\n" + kCool);
    check_run(e, "0", kGuideClades);
    const std::string log = read_file(e.dir + "/run.log");
    const std::string param = read_file(e.dir + "/result.param");
    EXPECT_EQ(line_after(param, "substitution model: "), line_after(log, "substitution model: "));
    EXPECT_EQ(line_after(param, "indel model: ").substr(0, 18), "indel model: 0.01 ");
}

TEST(EndToEndRun, DnaTypeOne) {
    Example e = prepare("dna", 5, 40, "((s1,s2,s3),(s4,s5));", kCool);
    check_run(e, "1", {{"s1", "s2", "s3"}, {"s4", "s5"}});
}

TEST(EndToEndRun, ProteinTypeTwoWithHeldIndelModel) {
    // Counted frequencies must be positive: whole sequences.
    Example e =
        prepare("protein", 5, 1000, "((s1,s2,s3),(s4,s5));", "KEEP:\nindmod [ALL]\n" + kCool);
    check_run(e, "2", {{"s1", "s2", "s3"}, {"s4", "s5"}});
    const std::string log = read_file(e.dir + "/run.log");
    EXPECT_EQ(line_after(read_file(e.dir + "/result.param"), "indel model: "),
              line_after(log, "indel model: "));
}

TEST(EndToEndRun, ResolvedGuideTreeMakesNoInterchange) {
    // Four sequences: a period is 400 still cycles, so passes are made.
    Example e = prepare("dna", 4, 30, "((s1,s2),(s3,s4));",
                        "COOL:\nmaxsteps = 2500\nreportafter = 1000\nburnin = 50\n"
                        "resamprange = 5\n");
    std::string out;
    check_run(e, "2", {{"s1", "s2"}}, &out);
    EXPECT_EQ(out.find("Performing nearest neighbour interchange"), std::string::npos);
}
