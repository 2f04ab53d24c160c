// The result files of a run without steps against its log entry, and the
// progress lines of a run with steps against its log.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sampler_fixtures.h"
#include "support/subprocess.h"

namespace {

using samplertest::lines_of;

const char* const kSeqs =
    ">a\nACGTTGCAACGTAGCTAGCTAGGA\n"
    ">b\nACGTTGCAACGTTGCTAGCAGGA\n"
    ">c\nACTTTGCAACGAAGCTAGCTAGGCA\n"
    ">d\nACGATGCAAGGTAGCTTGCTAGGA\n"
    ">e\nACGATGCAGGGTAGCTTGCAAGGA\n";

std::string folder(const char* guide, const std::string& extra = "") {
    std::string dir = make_temp_dir();
    write_file(dir + "/seqs.fasta", kSeqs);
    write_file(dir + "/guide.tree", guide);
    write_file(dir + "/control.txt",
               "SUBST:\nmodel = HKY\nparameter = (2.5)\nINDEL:\nmodel = TKF1\n"
               "parameter = (0.02, 0.022)\nFILES:\ninfile = " +
                   dir + "/seqs.fasta\nguidetree = " + dir + "/guide.tree\n" + extra);
    return dir;
}

// The log's entries: each from its "Step " line up to its empty line.
std::vector<std::string> entries_of(const std::string& log) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while ((at = log.find("Step ", at)) != std::string::npos) {
        const std::size_t end = log.find("\n\n", at);
        out.push_back(log.substr(at, end + 2 - at));
        at = end + 2;
    }
    return out;
}

std::string between(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t a = text.find(from);
    if (a == std::string::npos) return "<missing " + from + ">";
    const std::size_t b = text.find(to, a + from.size());
    return text.substr(a + from.size(), b - a - from.size());
}

}  // namespace

// A run without steps: the best state is the start state, so the result
// files repeat the parts of the log's only entry byte for byte.
TEST(ReplayDriverRun, ResultFilesRepeatTheStartEntry) {
    std::string dir = folder("((a:2,b:3):1,c:4,(d:2,e:1):2);",
                             "outtree = t.tree\noutalign = a.phy\noutparam = p.txt\n"
                             "logfile = run.log\nCOOL:\nmaxsteps = 0\ndelta = 0.25\n");
    const long long before = static_cast<long long>(std::time(nullptr));
    ChildResult r = run_program({QUILLMAR_BINARY, "control.txt", "0"}, dir, 120);
    const long long after = static_cast<long long>(std::time(nullptr));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The seed: one line with the wall-clock second of the start.
    const std::string seed = read_file(dir + "/Zufallszahl");
    ASSERT_TRUE(std::regex_match(seed, std::regex("[0-9]+\n"))) << seed;
    EXPECT_GE(std::stoll(seed), before);
    EXPECT_LE(std::stoll(seed), after);
    const std::string log = read_file(dir + "/run.log");
    // The processor time in whole seconds, not more than the run lasted.
    EXPECT_LE(std::stoll(log.substr(log.rfind("Time: ") + 6)), after - before + 1);
    const auto entries = entries_of(log);
    ASSERT_EQ(entries.size(), 1u) << log;
    const std::string& e = entries[0];
    const std::string L = between(e, "log likelihood = ", "\n");
    EXPECT_EQ(r.out, "Optimising branch lengths\nfinal log likelihood (after 0 steps): " + L +
                         "\nhighest log likelihood: " + L + "\n");
    EXPECT_EQ(e.substr(0, 8), "Step 0:\n");
    EXPECT_EQ(between(e, "\noptimal delta = ", "\n"), "0.25");
    EXPECT_EQ(read_file(dir + "/a.phy") + "\n", between(e, "alignment :\n", "\nStep "));
    EXPECT_EQ(read_file(dir + "/t.tree"), between(e, "tree : ", "alignment :\n"));
    EXPECT_EQ(read_file(dir + "/p.txt"), between(e, "optimal delta = 0.25\n", "tree : ") +
                                             "likelihood = " + L +
                                             "\nreached after 0 iterations\nand 0 NNIs\n");
    EXPECT_TRUE(
        std::regex_search(between(e, "\nindel model: ", "\n"), std::regex("^0\\.02 0\\.022 $")));
    EXPECT_TRUE(std::regex_search(log, std::regex("\n\nTime: [0-9]+\n$"))) << log;
    EXPECT_EQ(log.size(), e.size() + log.substr(log.rfind("Time: ")).size());
}

// A run with steps: a progress line per log entry with the same values,
// entries at 0, R, 2R, ... below the limit, then the final one.
TEST(ReplayDriverRun, ProgressLinesMatchTheLog) {
    std::string dir = folder("((a:2,b:3):1,c:4,(d:2,e:1):2);",
                             "logfile = run.log\noutparam = p.txt\nCOOL:\nmaxsteps = 25\n"
                             "reportafter = 10\nburnin = 5\nresamprange = 5\n");
    ChildResult r = run_program({QUILLMAR_BINARY, "control.txt", "0"}, dir, 120);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto entries = entries_of(read_file(dir + "/run.log"));
    ASSERT_EQ(entries.size(), 4u);
    const unsigned steps[] = {0, 10, 20, 25};
    std::string want = "Optimising branch lengths\n";
    for (int k = 0; k < 3; ++k)
        want += "log likelihood after " + std::to_string(steps[k]) +
                " steps: " + between(entries[k], "log likelihood = ", "\n") + "\n";
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(between(entries[k], "Step ", ":\n"), std::to_string(steps[k]));
    const std::string fin = between(entries[3], "log likelihood = ", "\n");
    want += "final log likelihood (after 25 steps): " + fin + "\n";
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 6u) << r.out;
    const std::string high = out[5].substr(std::string("highest log likelihood: ").size());
    want += "highest log likelihood: " + high + "\n";
    EXPECT_EQ(r.out, want);
    EXPECT_GE(std::stod(high), std::stod(fin));
    const std::string par = read_file(dir + "/p.txt");
    EXPECT_EQ(between(par, "likelihood = ", "\n"), high);
    // Doubles in the default notation of six significant digits.
    auto g6 = [](const std::string& v) {
        std::ostringstream os;
        os << std::stod(v);
        return os.str();
    };
    for (const auto& e : entries) {
        const std::string L = between(e, "log likelihood = ", "\n");
        EXPECT_EQ(g6(L), L);
        EXPECT_EQ(g6(between(e, "optimal delta = ", "\n")), between(e, "optimal delta = ", "\n"));
    }
    EXPECT_EQ(g6(high), high);
    const unsigned long reached = std::stoul(between(par, "reached after ", " iterations"));
    EXPECT_LE(reached, 25u);
    EXPECT_NE(par.find(" iterations\nand 0 NNIs\n"), std::string::npos);
}
