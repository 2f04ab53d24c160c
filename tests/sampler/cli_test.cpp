// The built program run from the command line in a scratch folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sampler/quillmar.h"
#include "sampler_fixtures.h"
#include "sequence/random.h"
#include "support/fatal.h"
#include "support/subprocess.h"

namespace {

using samplertest::lines_of;

using strings = std::vector<std::string>;

const char* const kSeqs =
    ">a\nACGTTGCAACGTAGCTAGCTAGGA\n"
    ">b\nACGTTGCAACGTTGCTAGCAGGA\n"
    ">c\nACTTTGCAACGAAGCTAGCTAGGCA\n"
    ">d\nACGATGCAAGGTAGCTTGCTAGGA\n";
const char* const kGuide = "((a,b),c,d);\n";

// Control file text: SUBST model, then the COOL and extra lines given.
std::string control(const std::string& subst, const std::string& cool,
                    const std::string& extra_files = "", const std::string& keep = "") {
    std::string s = "SUBST:\nmodel = " + subst +
                    "\nINDEL:\nmodel = TKF1\nparameter = (0.01, 0.011)\n"
                    "FILES:\ninfile = seqs.fasta\nguidetree = guide.tree\n"
                    "outtree = result.tree\noutalign = result.phy\n"
                    "outparam = result.param\nlogfile = run.log\n" +
                    extra_files;
    if (!keep.empty()) s += "KEEP:\n" + keep;
    s += "COOL:\n" + cool;
    return s;
}

// A scratch folder with the small data set and a control file.
std::string setup(const std::string& ctl, const char* seqs = kSeqs, const char* guide = kGuide) {
    std::string dir = make_temp_dir();
    write_file(dir + "/seqs.fasta", seqs);
    write_file(dir + "/guide.tree", guide);
    write_file(dir + "/control.txt", ctl);
    return dir;
}

ChildResult run(const std::string& dir, const strings& args) {
    strings argv{QUILLMAR_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir, 600);
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int count_lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

bool starts_with(const std::string& s, const std::string& p) {
    return s.compare(0, p.size(), p) == 0;
}

// Value after a prefix on the first line that starts with it.
std::string value_after(const std::string& text, const std::string& prefix) {
    for (auto& l : lines_of(text))
        if (starts_with(l, prefix)) return l.substr(prefix.size());
    return "<missing " + prefix + ">";
}

// --- Small Newick reader for result and guide trees ---

struct tnode {
    std::string name;
    double len = 0.0;
    std::vector<tnode> kids;
};

tnode parse_newick(const std::string& text, std::size_t& p) {
    tnode n;
    if (text[p] == '(') {
        ++p;
        for (;;) {
            n.kids.push_back(parse_newick(text, p));
            if (text[p] == ',') {
                ++p;
                continue;
            }
            ++p;  // ')'
            break;
        }
    }
    while (p < text.size() && std::string(":,);").find(text[p]) == std::string::npos)
        n.name += text[p++];
    if (p < text.size() && text[p] == ':') {
        ++p;
        std::size_t q = p;
        while (q < text.size() && std::string(",);").find(text[q]) == std::string::npos) ++q;
        n.len = std::stod(text.substr(p, q - p));
        p = q;
    }
    return n;
}

tnode parse_newick(const std::string& text) {
    std::size_t p = 0;
    return parse_newick(text, p);
}

void leaves(const tnode& n, strings& out) {
    if (n.kids.empty()) out.push_back(n.name);
    for (auto& k : n.kids) leaves(k, out);
}

// Non-trivial splits of the unrooted tree, each as the side without `ref`.
std::set<std::set<std::string>> splits(const tnode& root, const std::string& ref) {
    strings all;
    leaves(root, all);
    const std::set<std::string> everyone(all.begin(), all.end());
    std::set<std::set<std::string>> out;
    std::function<std::set<std::string>(const tnode&)> walk = [&](const tnode& n) {
        std::set<std::string> below;
        if (n.kids.empty()) below.insert(n.name);
        for (auto& k : n.kids) {
            auto s = walk(k);
            below.insert(s.begin(), s.end());
        }
        std::set<std::string> side = below;
        if (side.count(ref)) {
            side.clear();
            for (auto& x : everyone)
                if (!below.count(x)) side.insert(x);
        }
        if (side.size() >= 2 && side.size() + 2 <= everyone.size()) out.insert(side);
        return below;
    };
    walk(root);
    return out;
}

bool is_binary_below(const tnode& n) {
    if (n.kids.empty()) return true;
    if (n.kids.size() != 2) return false;
    return is_binary_below(n.kids[0]) && is_binary_below(n.kids[1]);
}

// --- PHYLIP result file ---

struct phylip {
    int n = 0, len = 0;
    strings names, rows;
};

phylip parse_phylip(const std::string& text) {
    phylip ph;
    strings ls = lines_of(text);
    std::istringstream head(ls.at(0));
    head >> ph.n >> ph.len;
    for (std::size_t i = 1; i < ls.size(); ++i) {
        std::string name = ls[i].substr(0, 10);
        name.erase(name.find_last_not_of(' ') + 1);
        ph.names.push_back(name);
        ph.rows.push_back(ls[i].substr(10));
    }
    return ph;
}

std::map<std::string, std::string> read_fasta(const std::string& text) {
    std::map<std::string, std::string> m;
    std::string cur;
    for (auto& l : lines_of(text)) {
        if (!l.empty() && l[0] == '>') {
            cur = l.substr(1);
            m[cur];
        } else {
            for (char c : l)
                if (!std::isspace(static_cast<unsigned char>(c)))
                    m[cur] += static_cast<char>(std::toupper(c));
        }
    }
    return m;
}

std::string ungapped(const std::string& row) {
    std::string s;
    for (char c : row)
        if (c != '-' && c != '_') s += c;
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Command line

TEST(CliArgs, WrongCountGivesUsageAndKeepsLog) {
    const std::string usage =
        "Please invoke quillmar with the name of the control file and the type of analysis as "
        "arguments.\n";
    const std::vector<strings> cases{{}, {"control.txt"}, {"control.txt", "0", "extra"}};
    for (const auto& args : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n"));
        write_file(dir + "/run.log", "old log\n");
        write_file(dir + "/Zufallszahl", "1\n");
        ChildResult r = run(dir, args);
        EXPECT_TRUE(fatal_with(r, usage)) << args.size();
        // No file name is known yet, so nothing is written, the seed included.
        EXPECT_EQ(read_file(dir + "/Zufallszahl"), "1\n");
        EXPECT_EQ(read_file(dir + "/run.log"), "old log\n");
    }
}

TEST(CliArgs, UnknownAnalysisType) {
    struct tcase {
        std::string arg;
        std::string err;
    };
    const std::vector<tcase> cases{{"", std::string("unknown option ") + '\0' + "\n"},
                                   {"3", "unknown option 3\n"},
                                   {"x1", "unknown option x\n"}};
    for (const auto& c : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n"));
        ChildResult r = run(dir, {"control.txt", c.arg});
        EXPECT_TRUE(fatal_with(r, c.err));
        EXPECT_FALSE(exists(dir + "/run.log"));
        EXPECT_FALSE(exists(dir + "/Zufallszahl"));
    }
}

TEST(CliArgs, ControlFileErrorComesBeforeType) {
    std::string dir = setup(control("JC69", "delta = -1\n"));
    ChildResult r = run(dir, {"control.txt", "7"});
    EXPECT_TRUE(fatal_with(r, "Delta has to be positive!\n"));
}

// A format without a reader and an empty file name are refused with the
// control file, before the log is emptied or the seed written.
TEST(CliArgs, UnknownFormatOrEmptyNameWritesNothing) {
    struct tcase {
        std::string line;
        std::string message;
    };
    const std::vector<tcase> cases{
        {"format = 2\n", "Format 2 not supported\n"},
        {"format = -1\n", "Format -1 not supported\n"},
        {"outalign =\n", "No file name given to option outalign\n"},
        {"outparam = # none\n", "No file name given to option outparam\n"},
    };
    for (const auto& c : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n", c.line));
        write_file(dir + "/run.log", "old log\n");
        write_file(dir + "/Zufallszahl", "1\n");
        ChildResult r = run(dir, {"control.txt", "0"});
        EXPECT_TRUE(fatal_with(r, c.message)) << c.line;
        EXPECT_EQ(read_file(dir + "/run.log"), "old log\n") << c.line;
        EXPECT_EQ(read_file(dir + "/Zufallszahl"), "1\n") << c.line;
    }
}

TEST(CliArgs, OnlyFirstCharacterOfTypeCounts) {
    std::string dir = setup(control("JC69", "maxsteps = 0\n"));
    ChildResult r = run(dir, {"control.txt", "2abc"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(starts_with(r.out, "Computing pairwise distances in an approximate EM step\n"));
}

// ---------------------------------------------------------------------------
// Failures of a run

TEST(CliFail, MissingSequenceFileLeavesLogTruncated) {
    std::string dir = setup(control("JC69", "maxsteps = 0\n"));
    std::remove((dir + "/seqs.fasta").c_str());
    write_file(dir + "/run.log", "an older log\n");
    ChildResult r = run(dir, {"control.txt", "0"});
    EXPECT_TRUE(fatal_with(r, "Cannot open sequence file seqs.fasta\n"));
    EXPECT_TRUE(exists(dir + "/run.log"));
    EXPECT_EQ(read_file(dir + "/run.log"), "");
    for (const char* f : {"/result.phy", "/result.tree", "/result.param"})
        EXPECT_FALSE(exists(dir + f)) << f;
}

// A run refused for a file it names leaves no seed line; each fault is still
// reported where it was before.
TEST(CliFail, RunRefusedForAFileWritesNoSeedLine) {
    struct tcase {
        std::string line;  // FILES line
        std::string err;
    };
    const std::vector<tcase> cases{
        {"logfile = nod/l.log\n", "Cannot open logfile nod/l.log\n"},
        {"logfile = sub\n", "Cannot open logfile sub\n"},
        {"infile = none.fasta\n", "Cannot open sequence file none.fasta\n"},
        {"infile = sub\n", "Cannot read the sequence file\n"},
        {"guidetree = none.tree\n", "cannot open file none.tree\n"},
        {"guidetree = sub\n", "cannot read file sub\n"},
    };
    for (const auto& c : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n", c.line));
        mkdir((dir + "/sub").c_str(), 0755);
        ChildResult r = run(dir, {"control.txt", "0"});
        EXPECT_TRUE(fatal_with(r, c.err)) << c.line;
        EXPECT_FALSE(exists(dir + "/Zufallszahl")) << c.line;
    }
}

TEST(CliFail, OneSequence) {
    std::string dir = setup(control("JC69", "maxsteps = 0\n"), ">a\nACGT\n", "(a);\n");
    ChildResult r = run(dir, {"control.txt", "1"});
    EXPECT_TRUE(fatal_with(r, "There are 1 sequences.\nThere is nothing to align.\n"));
}

TEST(CliFail, LogNamingAnInputIsRefused) {
    struct tcase {
        std::string logname;
        std::string what;
    };
    const std::vector<tcase> cases{{"control.txt", "control file"},
                                   {"seqs.fasta", "sequence file"},
                                   {"./guide.tree", "guide tree file"}};
    for (const auto& c : cases) {
        std::string ctl = control("JC69", "maxsteps = 0\n", "logfile = " + c.logname + "\n");
        std::string dir = setup(ctl);
        ChildResult r = run(dir, {"control.txt", "0"});
        EXPECT_TRUE(fatal_with(
            r, "The logfile " + c.logname + " is the " + c.what + "; it would be overwritten\n"));
        EXPECT_EQ(read_file(dir + "/control.txt"), ctl);
        EXPECT_EQ(read_file(dir + "/seqs.fasta"), kSeqs);
        EXPECT_EQ(read_file(dir + "/guide.tree"), kGuide);
    }
}

TEST(CliFail, FileWrittenByTheRunNamingAnotherIsRefused) {
    struct tcase {
        std::string line;  // FILES line that overrides a default name
        std::string err;
        strings links = {};  // symbolic links made first: name, target, name, target...
    };
    const std::string appended = "; the results would be appended to it\n";
    const std::string mixed = "; both would be written into one file\n";
    const std::vector<tcase> cases{
        {"outalign = control.txt\n",
         "The alignment file control.txt is the control file" + appended},
        {"outtree = ./seqs.fasta\n", "The tree file ./seqs.fasta is the sequence file" + appended},
        {"outparam = hard.tree\n",
         "The parameter file hard.tree is the guide tree file" + appended},
        {"outtree = run.log\n", "The tree file run.log is the logfile" + mixed},
        {"outparam = result.phy\n", "The parameter file result.phy is the alignment file" + mixed},
        {"outparam = sub/../result.tree\n",
         "The parameter file sub/../result.tree is the tree file" + mixed},
        // Links whose targets the run would create: the same file all the same.
        {"outparam = out.param\n",
         "The parameter file out.param is the alignment file" + mixed,
         {"out.param", "result.phy"}},
        {"outparam = sub/p.lnk\n",
         "The parameter file sub/p.lnk is the alignment file" + mixed,
         {"sub/p.lnk", "../chain", "chain", "sub/../result.phy"}},
        {"outtree = sub/t.lnk\n",
         "The tree file sub/t.lnk is the logfile" + mixed,
         {"sub/t.lnk", "/DIR/run.log"}},
        {"outalign = a.lnk\n",
         "The alignment file a.lnk is the sequence file" + appended,
         {"a.lnk", "sub/../seqs.fasta"}},
    };
    for (const auto& c : cases) {
        const std::string ctl = control("JC69", "maxsteps = 0\n", c.line);
        std::string dir = setup(ctl);
        mkdir((dir + "/sub").c_str(), 0755);
        ASSERT_EQ(::link((dir + "/guide.tree").c_str(), (dir + "/hard.tree").c_str()), 0);
        for (std::size_t i = 0; i + 1 < c.links.size(); i += 2) {
            std::string target = c.links[i + 1];
            if (starts_with(target, "/DIR/")) target = dir + target.substr(4);
            ASSERT_EQ(::symlink(target.c_str(), (dir + "/" + c.links[i]).c_str()), 0) << c.links[i];
        }
        ChildResult r = run(dir, {"control.txt", "0"});
        EXPECT_TRUE(fatal_with(r, c.err)) << c.line;
        EXPECT_EQ(read_file(dir + "/control.txt"), ctl);
        EXPECT_EQ(read_file(dir + "/seqs.fasta"), kSeqs);
        EXPECT_EQ(read_file(dir + "/guide.tree"), kGuide);
        for (const char* f : {"/run.log", "/result.phy", "/result.tree", "/result.param"})
            EXPECT_FALSE(exists(dir + f)) << c.line << f;
    }
}

TEST(CliFail, UnopenableResultFileStopsBeforeTheRun) {
    struct tcase {
        std::string line;
        std::string name;
        strings links = {};  // symbolic links made first: name, target, name, target...
    };
    const std::vector<tcase> cases{
        {"outalign = nodir/a.phy\n", "nodir/a.phy"},
        {"outtree = nodir/t.tree\n", "nodir/t.tree"},
        {"outparam = nodir/p.txt\n", "nodir/p.txt"},
        {"outalign = sub\n", "sub"},
        // a link into a folder that does not exist
        {"", "result.tree", {"result.tree", "nodir/t.tree"}},
        // relative to the link's folder, where there is no nodir
        {"outparam = sub/p.lnk\n", "sub/p.lnk", {"nodir", "sub", "sub/p.lnk", "nodir/p"}},
        // a loop of links
        {"", "result.param", {"result.param", "loop", "loop", "result.param"}},
        // every part before a ".." must be a folder
        {"outalign = nod/../ali.phy\n", "nod/../ali.phy"},
        {"outalign = seqs.fasta/../ali.phy\n", "seqs.fasta/../ali.phy"},
        {"outtree = gl/../t.tree\n", "gl/../t.tree", {"gl", "seqs.fasta"}},
        {"", "result.param", {"result.param", "nod/../p.param"}},
        // not the tree file result.tree, which is no reason to refuse it
        {"outparam = nod/../result.tree\n", "nod/../result.tree"}};
    for (const auto& c : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n", c.line));
        mkdir((dir + "/sub").c_str(), 0755);
        for (std::size_t i = 0; i + 1 < c.links.size(); i += 2)
            ASSERT_EQ(::symlink(c.links[i + 1].c_str(), (dir + "/" + c.links[i]).c_str()), 0)
                << c.links[i];
        write_file(dir + "/run.log", "old log\n");
        write_file(dir + "/result.phy", "earlier\n");
        ChildResult r = run(dir, {"control.txt", "0"});
        EXPECT_TRUE(fatal_with(r, "Cannot open output file " + c.name + "\n")) << c.line;
        EXPECT_EQ(read_file(dir + "/run.log"), "old log\n") << c.line;
        EXPECT_EQ(read_file(dir + "/result.phy"), "earlier\n") << c.line;
        for (const char* f : {"/result.tree", "/result.param", "/Zufallszahl"})
            EXPECT_FALSE(exists(dir + f)) << c.line << f;
    }
}

TEST(CliFail, FailedWriteAtTheEndKeepsTheOtherResults) {
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    struct tcase {
        std::string line;
        std::string err;
        strings written;
    };
    const std::vector<tcase> cases{{"outalign = /dev/full\n",
                                    "Cannot write output file /dev/full\n",
                                    {"result.tree", "result.param"}},
                                   {"outtree = /dev/full\n",
                                    "Cannot write output file /dev/full\n",
                                    {"result.phy", "result.param"}},
                                   {"outparam = /dev/full\n",
                                    "Cannot write output file /dev/full\n",
                                    {"result.phy", "result.tree"}},
                                   {"logfile = /dev/full\n",
                                    "Cannot write logfile /dev/full\n",
                                    {"result.phy", "result.tree", "result.param"}}};
    for (const auto& c : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n", c.line));
        ChildResult r = run(dir, {"control.txt", "0"});
        EXPECT_TRUE(fatal_with_output(r, c.err)) << c.line;
        EXPECT_NE(r.out.find("highest log likelihood: "), std::string::npos) << c.line;
        for (auto& f : c.written) EXPECT_FALSE(read_file(dir + "/" + f).empty()) << c.line << f;
    }
}

// The seed file is written by the run like the log: refused as an input and
// as another output, before anything, the seed line included, is written.
TEST(CliFail, SeedFileSharedWithAnotherFileIsRefused) {
    struct tcase {
        std::string line;     // FILES line
        std::string control;  // name of the control file
        std::string seed;     // earlier content of Zufallszahl, "-" for none
        std::string err;
        strings links = {};
    };
    const std::string ctl0 = control("JC69", "maxsteps = 0\n");
    const std::string seeded = "; the seed would be appended to it\n";
    const std::string mixed = "; both would be written into one file\n";
    const std::vector<tcase> cases{
        {"infile = Zufallszahl\n", "control.txt", kSeqs,
         "The seed file Zufallszahl is the sequence file" + seeded},
        {"guidetree = ./Zufallszahl\n", "control.txt", kGuide,
         "The seed file Zufallszahl is the guide tree file" + seeded},
        {"", "Zufallszahl", ctl0, "The seed file Zufallszahl is the control file" + seeded},
        {"infile = seqs.lnk\n",
         "control.txt",
         kSeqs,
         "The seed file Zufallszahl is the sequence file" + seeded,
         {"seqs.lnk", "Zufallszahl"}},
        {"logfile = Zufallszahl\n", "control.txt", "1234\n",
         "The logfile Zufallszahl is the seed file" + mixed},
        {"logfile = seed.lnk\n",
         "control.txt",
         "-",
         "The logfile seed.lnk is the seed file" + mixed,
         {"seed.lnk", "Zufallszahl"}},
        {"outtree = sub/../Zufallszahl\n", "control.txt", "-",
         "The tree file sub/../Zufallszahl is the seed file" + mixed},
        {"outparam = ./Zufallszahl\n", "control.txt", "1234\n",
         "The parameter file ./Zufallszahl is the seed file" + mixed},
    };
    for (const auto& c : cases) {
        const std::string ctl = control("JC69", "maxsteps = 0\n", c.line);
        std::string dir = setup(ctl);
        mkdir((dir + "/sub").c_str(), 0755);
        if (c.control != "control.txt") write_file(dir + "/" + c.control, ctl);
        else if (c.seed != "-") write_file(dir + "/Zufallszahl", c.seed);
        for (std::size_t i = 0; i + 1 < c.links.size(); i += 2)
            ASSERT_EQ(::symlink(c.links[i + 1].c_str(), (dir + "/" + c.links[i]).c_str()), 0)
                << c.links[i];
        ChildResult r = run(dir, {c.control, "0"});
        EXPECT_TRUE(fatal_with(r, c.err)) << c.line;
        if (c.seed == "-") EXPECT_FALSE(exists(dir + "/Zufallszahl")) << c.line;
        else EXPECT_EQ(read_file(dir + "/Zufallszahl"), c.seed) << c.line;
        for (const char* f : {"/run.log", "/result.phy", "/result.tree", "/result.param"})
            EXPECT_FALSE(exists(dir + f)) << c.line << f;
    }
}

// Runs the program on control.txt in dir, type 0, with no file larger than
// limit bytes and SIGXFSZ at its default, as a shell's ulimit -f gives it.
ChildResult run_with_file_limit(const std::string& dir, rlim_t limit) {
    return run_in_child(
        [&] {
            if (chdir(dir.c_str()) != 0) _exit(9);
            const rlimit fsize{limit, limit};
            setrlimit(RLIMIT_FSIZE, &fsize);
            std::signal(SIGXFSZ, SIG_DFL);
            execl(QUILLMAR_BINARY, QUILLMAR_BINARY, "control.txt", "0",
                  static_cast<char*>(nullptr));
            _exit(127);
        },
        300);
}

// A result append that fails leaves the file as it was: an earlier file
// keeps exactly its bytes, one the run created holds nothing.
TEST(CliFail, FailedAppendLeavesNoPartOfARecord) {
    struct tcase {
        std::string line;
        rlim_t limit;         // largest file the run may write
        std::size_t earlier;  // bytes already in result.phy, 0 for no file
        strings written;      // result files that take their record
    };
    // The alignment record is 165 bytes, the tree 69, the parameters 106; the
    // log holds all three.
    const std::vector<tcase> cases{
        {"", 4096, 4000, {"result.tree", "result.param"}},
        {"logfile = /dev/null\n", 128, 0, {"result.tree", "result.param"}},
        {"logfile = /dev/null\n", 1024, 1020, {"result.tree", "result.param"}}};
    for (const auto& c : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n", c.line));
        const std::string before = std::string(c.earlier, 'x');
        if (c.earlier > 0) write_file(dir + "/result.phy", before);
        ChildResult r = run_with_file_limit(dir, c.limit);
        // The run's progress lines precede the stop on standard output.
        EXPECT_TRUE(fatal_with_output(r, "Cannot write output file result.phy\n")) << c.line;
        if (c.line.empty()) {
            const std::string log = read_file(dir + "/run.log");
            EXPECT_NE(log.find("\n\nTime: "), std::string::npos)
                << "the log must stay under the limit";
        }
        EXPECT_EQ(read_file(dir + "/result.phy"), before) << c.line;
        for (auto& f : c.written) {
            const std::string text = read_file(dir + "/" + f);
            EXPECT_FALSE(text.empty()) << f;
            EXPECT_LT(text.size(), c.limit) << f;
        }
    }
}

// ---------------------------------------------------------------------------
// Special files

// Devices are no files two names could overwrite in each other.
TEST(CliRun, DevicesMayBeNamedMoreThanOnce) {
    const std::vector<std::string> cases{
        "logfile = /dev/null\nouttree = /dev/null\n",
        "outalign = /dev/null\nouttree = /dev/null\noutparam = /dev/null\n"};
    for (const auto& line : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 0\n", line));
        ChildResult r = run(dir, {"control.txt", "0"});
        EXPECT_EQ(r.status, 0) << line << r.err;
        EXPECT_EQ(r.err, "") << line;
        EXPECT_NE(r.out.find("highest log likelihood: "), std::string::npos) << line;
    }
}

// A seed file that cannot take the seed line keeps what it held: a folder,
// or a file with room for only part of the line.
TEST(CliRun, UnwritableSeedFileGivesAWarning) {
    struct tcase {
        const char* what;
        std::string earlier;  // content of the seed file, "/" for a folder
        rlim_t limit;         // largest file the run may write
    };
    // The tree and parameter records fit under 128 bytes; the seed line
    // takes 11.
    const std::string full(119, '1');
    const std::vector<tcase> cases{{"a folder", "/", RLIM_INFINITY},
                                   {"room for part of the line", full + "\n", 128}};
    for (const auto& c : cases) {
        std::string dir =
            setup(control("JC69", "maxsteps = 0\n", "logfile = /dev/null\noutalign = /dev/null\n"));
        const std::string seed = dir + "/Zufallszahl";
        if (c.earlier == "/") {
            ASSERT_EQ(mkdir(seed.c_str(), 0755), 0);
        } else {
            write_file(seed, c.earlier);
        }
        const long long t0 = static_cast<long long>(std::time(nullptr));
        ChildResult r = run_with_file_limit(dir, c.limit);
        const long long t1 = static_cast<long long>(std::time(nullptr));
        ASSERT_EQ(r.status, 0) << c.what << ": " << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            r.err, m,
            std::regex("WARNING: Cannot write the seed file Zufallszahl; the seed of this run is "
                       "([0-9]+)\n")))
            << c.what << ": " << r.err;
        EXPECT_GE(std::stoll(m[1]), t0);
        EXPECT_LE(std::stoll(m[1]), t1);
        EXPECT_FALSE(read_file(dir + "/result.param").empty()) << c.what;
        if (c.earlier != "/") {
            EXPECT_EQ(read_file(seed), c.earlier) << c.what;
        }
    }
}

// A FIFO is opened once, when its record is written; a reader that waits
// for the run gets the whole record and then the end.
TEST(CliRun, FifoResultFileIsOpenedOnceAtTheEnd) {
    std::string dir = setup(control("JC69", "maxsteps = 0\n"));
    const std::string fifo = dir + "/result.tree";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::fflush(nullptr);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        alarm(120);
        std::string got;
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<std::size_t>(n));
        write_file(dir + "/got", got);
        _exit(0);
    }
    ChildResult r = run_program({QUILLMAR_BINARY, "control.txt", "0"}, dir, 60);
    // Releases a reader still waiting for a writer.
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) ::close(w);
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_FALSE(r.timed_out) << "the run hung on the FIFO";
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string got = read_file(dir + "/got");
    EXPECT_EQ(got, value_after(read_file(dir + "/run.log"), "tree : ") + "\n");
    EXPECT_TRUE(starts_with(got, "(")) << got;
}

// Standard output into a pipe whose reader has left (a pager quit, or
// "| head -1"), with SIGPIPE at its default as a shell gives it: the
// progress lines are lost without a word and the run keeps its results.
TEST(CliRun, ClosedStandardOutputKeepsTheResults) {
    std::string dir = setup(control("JC69", "maxsteps = 200\nreportafter = 50\n"));
    ChildResult r = run_in_child(
        [&] {
            int out[2];
            if (pipe(out) != 0 || chdir(dir.c_str()) != 0) _exit(9);
            ::close(out[0]);
            dup2(out[1], 1);
            ::close(out[1]);
            std::signal(SIGPIPE, SIG_DFL);
            execl(QUILLMAR_BINARY, QUILLMAR_BINARY, "control.txt", "0",
                  static_cast<char*>(nullptr));
            _exit(127);
        },
        300);
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(starts_with(read_file(dir + "/result.tree"), "(")) << "the tree is lost";
    EXPECT_NE(read_file(dir + "/result.param").find("likelihood = "), std::string::npos);
    EXPECT_FALSE(read_file(dir + "/result.phy").empty());
}

// Runs the program of type 0 with seed 2026 in dir, standard input on
// /dev/null and each descriptor of `streams` closed, or on /dev/null where
// closed is false.
ChildResult run_with_streams(const std::string& dir, const std::vector<int>& streams, bool closed) {
    return run_in_child(
        [&] {
            const int null = ::open("/dev/null", O_RDWR);
            if (null < 0 || chdir(dir.c_str()) != 0 || dup2(null, 0) != 0) _exit(9);
            for (int fd : streams)
                if (closed ? ::close(fd) != 0 : dup2(null, fd) != fd) _exit(9);
            seedrandom(2026);
            std::string a0 = "quillmar", a1 = "control.txt", a2 = "0";
            char* argv[] = {&a0[0], &a1[0], &a2[0], nullptr};
            std::exit(quillmar_run(3, argv));
        },
        300);
}

// A standard stream closed at start, as some batch launchers leave it: no
// file of the run takes its place, so its lines are lost and the log and
// results are those of a run with the stream on /dev/null.
TEST(CliRun, ClosedStandardStreamsAreNotTheLog) {
    // "sequencelong" has more than ten characters: a warning is due once the
    // log is open.
    const char* const seqs =
        ">sequencelong\nACGTTGCAACGTAGCTAGCTAGGA\n"
        ">b\nACGTTGCAACGTTGCTAGCAGGA\n"
        ">c\nACTTTGCAACGAAGCTAGCTAGGCA\n"
        ">d\nACGATGCAAGGTAGCTTGCTAGGA\n";
    const char* const guide = "((sequencelong,b),c,d);\n";
    const std::string ctl = control("HKY", "maxsteps = 200\nreportafter = 50\n");
    const auto masked = [](const std::string& log) {
        return std::regex_replace(log, std::regex("\nTime: [0-9]+\n"), "\nTime: T\n");
    };
    const std::vector<std::vector<int>> cases{{1}, {2}, {1, 2}, {0, 1, 2}};
    for (const auto& streams : cases) {
        std::string got[2];
        for (bool closed : {false, true}) {
            const std::string dir = setup(ctl, seqs, guide);
            const ChildResult r = run_with_streams(dir, streams, closed);
            ASSERT_TRUE(r.exited) << streams.size() << ": signal " << r.signal;
            ASSERT_EQ(r.status, 0) << streams.size() << ": " << r.err;
            got[closed] = masked(read_file(dir + "/run.log")) + "|" +
                          read_file(dir + "/result.phy") + "|" + read_file(dir + "/result.tree") +
                          "|" + read_file(dir + "/result.param") + "|" +
                          read_file(dir + "/Zufallszahl");
        }
        EXPECT_NE(got[0].find("\nStep "), std::string::npos) << got[0];
        EXPECT_EQ(got[1], got[0]) << "closed: " << streams.back() << " of " << streams.size();
    }
}

// A result or log named through a closed standard stream is not taken as
// written: the run is refused before anything is written, as for any file
// that cannot be opened (the message is lost where standard error is the
// closed stream).
TEST(CliFail, FileThroughAClosedStandardStream) {
    struct tcase {
        int stream;
        std::string line;
        std::string err;
    };
    const std::vector<tcase> cases{
        {1, "outalign = /dev/stdout\n", "Cannot open output file /dev/stdout\n"},
        {1, "outtree = /dev/fd/1\n", "Cannot open output file /dev/fd/1\n"},
        {0, "outparam = /proc/self/fd/0\n", "Cannot open output file /proc/self/fd/0\n"},
        {2, "outtree = /dev/stderr\n", ""},
        {1, "logfile = /dev/stdout\n", "Cannot open logfile /dev/stdout\n"}};
    for (const auto& c : cases) {
        const std::string dir = setup(control("JC69", "maxsteps = 0\n", c.line));
        write_file(dir + "/run.log", "old log\n");
        const ChildResult r = run_with_streams(dir, {c.stream}, true);
        EXPECT_TRUE(fatal_with(r, c.err)) << c.line;
        EXPECT_EQ(read_file(dir + "/run.log"), "old log\n") << c.line;
        for (const char* f : {"/result.phy", "/result.tree", "/result.param", "/Zufallszahl"})
            EXPECT_FALSE(exists(dir + f)) << c.line << f;
    }
}

// Runs the program on control.txt in dir with standard output to a pipe,
// reads what arrives until enough(text) holds, the output ends or 300 s
// pass, then kills the run. True when the run was still going then.
bool read_while_running(const std::string& dir, const char* type,
                        const std::function<bool(const std::string&)>& enough, std::string& text) {
    int out[2];
    if (pipe(out) != 0) return false;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        alarm(300);
        dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        const int null = ::open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 2);
        if (chdir(dir.c_str()) != 0) _exit(9);
        execl(QUILLMAR_BINARY, QUILLMAR_BINARY, "control.txt", type, static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out[1]);
    text.clear();
    for (int waited = 0; waited < 300 && !enough(text);) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) == 0) {
            ++waited;
            continue;
        }
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ::close(out[0]);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Whether every piece stands at the start of a whole line of text.
bool whole_lines(const std::string& text, const strings& pieces) {
    const std::string t = "\n" + text;
    for (const auto& p : pieces) {
        const std::size_t at = t.find("\n" + p);
        if (at == std::string::npos || t.find('\n', at + 1 + p.size()) == std::string::npos)
            return false;
    }
    return true;
}

// The log entry is in the file when its progress line arrives: a run killed
// then keeps it.
TEST(CliRun, LogEntryIsInTheFileWhenReported) {
    std::string dir = setup(control("JC69", "maxsteps = 1000000\nreportafter = 1000000\n"));
    const std::string prefix = "log likelihood after 0 steps: ";
    std::string text;
    const bool running = read_while_running(
        dir, "0", [&](const std::string& t) { return whole_lines(t, {prefix}); }, text);
    ASSERT_TRUE(running) << "the run ended before it was stopped";
    const std::size_t at = text.find(prefix);
    ASSERT_NE(at, std::string::npos) << text;
    const std::string L = text.substr(at + prefix.size(), text.find('\n', at) - at - prefix.size());
    const std::string log = read_file(dir + "/run.log");
    EXPECT_TRUE(starts_with(log, "Step 0:\nlog likelihood = " + L + "\n")) << log;
    EXPECT_NE(log.find("\nalignment :\n"), std::string::npos) << log;
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.substr(log.size() - 2), "\n\n") << log;
}

// ---------------------------------------------------------------------------
// Runs without steps: exact output

TEST(CliRun, NoStepsExactOutput) {
    for (const char* type : {"0", "1", "2"}) {
        std::string dir = setup(control("HKY", "maxsteps = 0\n"));
        ChildResult r = run(dir, {"control.txt", type});
        ASSERT_EQ(r.status, 0) << type << r.err;
        EXPECT_EQ(r.err, "");
        strings out = lines_of(r.out);
        std::size_t k = 0;
        if (type[0] != '0') {
            const strings pairs{"a b", "a c", "a d", "b c", "b d", "c d"};
            ASSERT_EQ(out.size(), 19u) << r.out;
            EXPECT_EQ(out[k++], "Computing pairwise distances in an approximate EM step");
            for (auto& p : pairs) {
                const std::string& l = out[k++];
                EXPECT_TRUE(starts_with(l, p + " distance=")) << l;
                EXPECT_NE(l.find(" scale="), std::string::npos) << l;
            }
            EXPECT_EQ(out[k++], "Second round of EM algorithm.");
            EXPECT_TRUE(starts_with(out[k++], "Insertion rate multiplied with "));
            for (auto& p : pairs) {
                const std::string& l = out[k++];
                EXPECT_TRUE(starts_with(l, p + " distance=")) << l;
                EXPECT_EQ(l.find(" scale="), std::string::npos) << l;
            }
            EXPECT_EQ(out[k++], "Building the initial NJ tree");
        } else {
            ASSERT_EQ(out.size(), 3u) << r.out;
        }
        EXPECT_EQ(out[k++], "Optimising branch lengths");
        const std::string prefix = "final log likelihood (after 0 steps): ";
        ASSERT_TRUE(starts_with(out[k], prefix)) << out[k];
        const std::string L = out[k++].substr(prefix.size());
        EXPECT_EQ(out[k++], "highest log likelihood: " + L);

        std::string log = read_file(dir + "/run.log");
        strings ll = lines_of(log);
        EXPECT_EQ(ll.front(), "Step 0:");
        EXPECT_EQ(ll[1], "log likelihood = " + L);
        EXPECT_EQ(ll[2], "optimal delta = 1");
        EXPECT_TRUE(starts_with(ll[3], "substitution model: "));
        EXPECT_TRUE(starts_with(ll[4], "indel model: "));
        EXPECT_TRUE(starts_with(ll[5], "tree : ("));
        EXPECT_EQ(ll[6], "alignment :");
        EXPECT_EQ(ll[ll.size() - 2], "");
        EXPECT_TRUE(starts_with(ll.back(), "Time: "));
        int entries = 0;
        for (auto& l : ll) entries += starts_with(l, "Step ");
        EXPECT_EQ(entries, 1);

        std::string par = read_file(dir + "/result.param");
        strings pl = lines_of(par);
        ASSERT_EQ(pl.size(), 5u) << par;
        EXPECT_TRUE(starts_with(pl[0], "substitution model: "));
        EXPECT_TRUE(starts_with(pl[1], "indel model: "));
        EXPECT_EQ(pl[2], "likelihood = " + L);
        EXPECT_EQ(pl[3], "reached after 0 iterations");
        EXPECT_EQ(pl[4], "and 0 NNIs");
        if (type[0] == '0') {
            EXPECT_EQ(pl[1], "indel model: 0.01 0.011 ");
        }
    }
}

// Standard output to a pipe or a file is block-buffered: every start-up and
// progress line arrives while the run goes on.
TEST(CliRun, ProgressLinesArriveWhileTheRunGoesOn) {
    struct tcase {
        const char* type;
        strings pieces;  // each at the start of a line of what arrived
    };
    const std::vector<tcase> cases{
        {"0", {"Optimising branch lengths\nlog likelihood after 0 steps: "}},
        {"2",
         {"Computing pairwise distances in an approximate EM step\na b distance=",
          "Second round of EM algorithm.\nInsertion rate multiplied with ",
          "Building the initial NJ tree\nOptimising branch lengths\nlog likelihood after 0 "
          "steps: "}},
    };
    for (const auto& c : cases) {
        std::string dir = setup(control("JC69", "maxsteps = 1000000\nreportafter = 1000000\n"));
        std::string text;
        const bool running = read_while_running(
            dir, c.type, [&](const std::string& t) { return whole_lines(t, c.pieces); }, text);
        EXPECT_TRUE(running) << c.type << ": the run ended before its lines arrived";
        EXPECT_TRUE(whole_lines(text, c.pieces)) << c.type << ": " << text;
    }
}

TEST(CliRun, TwoRunsAppendTwoResults) {
    std::string dir = setup(control("JC69", "maxsteps = 0\n"));
    ChildResult r1 = run(dir, {"control.txt", "0"});
    ASSERT_EQ(r1.status, 0) << r1.err;
    const std::string ali1 = read_file(dir + "/result.phy");
    const std::string tree1 = read_file(dir + "/result.tree");
    const std::string par1 = read_file(dir + "/result.param");
    ChildResult r2 = run(dir, {"control.txt", "0"});
    ASSERT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(count_lines(read_file(dir + "/result.phy")), 2 * count_lines(ali1));
    EXPECT_EQ(count_lines(read_file(dir + "/result.tree")), 2);
    EXPECT_EQ(count_lines(read_file(dir + "/result.param")), 10);
    EXPECT_TRUE(starts_with(read_file(dir + "/result.phy"), ali1));
    EXPECT_TRUE(starts_with(read_file(dir + "/result.tree"), tree1));
    EXPECT_TRUE(starts_with(read_file(dir + "/result.param"), par1));
    int entries = 0;
    for (auto& l : lines_of(read_file(dir + "/run.log"))) entries += starts_with(l, "Step ");
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(count_lines(read_file(dir + "/Zufallszahl")), 2);
}

TEST(CliRun, SameSeedSameResults) {
    std::string out[2], files[2];
    for (int k = 0; k < 2; ++k) {
        std::string dir = setup(control("HKY", "maxsteps = 30\nreportafter = 10\nburnin = 10\n"));
        ChildResult r = run_in_child(
            [&] {
                if (chdir(dir.c_str()) != 0) _exit(9);
                seedrandom(2026);
                std::string a0 = "quillmar", a1 = "control.txt", a2 = "2";
                char* argv[] = {&a0[0], &a1[0], &a2[0], nullptr};
                std::exit(quillmar_run(3, argv));
            },
            300);
        ASSERT_EQ(r.status, 0) << r.err;
        out[k] = r.out;
        files[k] = read_file(dir + "/result.phy") + read_file(dir + "/result.tree") +
                   read_file(dir + "/result.param");
    }
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(files[0], files[1]);
}

TEST(CliRun, NonFiniteStartGetsOneWarning) {
    // An insertion rate so far below the deletion rate that their ratio is 0.
    std::string ctl = control("FEL81", "maxsteps = 0\nINDEL:\nparameter = (1e-40, 1e300)\n");
    std::string dir = setup(ctl);
    ChildResult r = run(dir, {"control.txt", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string warning = "WARNING: The log likelihood of the start state is not finite (";
    const auto at = r.err.find(warning);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(warning, at + 1), std::string::npos);
    EXPECT_NE(r.out.find("highest log likelihood: "), std::string::npos);
}

// ---------------------------------------------------------------------------
// Output invariants on the bundled nucleotide example

// Types 1 and 2 estimate all pairwise distances first: they run on the
// example's first five sequences to keep the test short.
std::string first_records(const std::string& fasta, int k) {
    std::size_t at = 0;
    for (int i = 0; i <= k && at != std::string::npos; ++i) at = fasta.find('>', at + (i > 0));
    return at == std::string::npos ? fasta : fasta.substr(0, at);
}

TEST(CliExample, OutputInvariants) {
    const std::string src = std::string(QUILLMAR_SOURCE_DIR) + "/examples/dna/";
    for (const char* type : {"0", "1", "2"}) {
        const bool full = type[0] == '0';
        const std::string all = read_file(src + "seqs.fasta");
        const std::string seqs = full ? all : first_records(all, 5);
        const std::string guide = full ? read_file(src + "guide.tree") : "((s1,s2,s3),(s4,s5));\n";
        const auto input = read_fasta(seqs);
        ASSERT_EQ(input.size(), full ? 8u : 5u);
        const tnode gtree = parse_newick(guide);
        strings gleaves;
        leaves(gtree, gleaves);
        std::string dir = setup(control("HKY", "maxsteps = 20\nreportafter = 10\nburnin = 5\n"),
                                seqs.c_str(), guide.c_str());
        ChildResult r = run(dir, {"control.txt", type});
        ASSERT_EQ(r.status, 0) << type << r.err;

        phylip ph = parse_phylip(read_file(dir + "/result.phy"));
        ASSERT_EQ(ph.n, static_cast<int>(input.size()));
        ASSERT_EQ(ph.rows.size(), input.size());
        for (std::size_t i = 0; i < ph.rows.size(); ++i) {
            EXPECT_EQ(static_cast<int>(ph.rows[i].size()), ph.len);
            ASSERT_TRUE(input.count(ph.names[i])) << ph.names[i];
            EXPECT_EQ(ungapped(ph.rows[i]), input.at(ph.names[i])) << type << " " << ph.names[i];
        }
        for (int c = 0; c < ph.len; ++c) {
            bool residue = false;
            for (auto& row : ph.rows) residue = residue || row[c] != '-';
            EXPECT_TRUE(residue) << "empty column " << c;
        }

        const std::string treetext = read_file(dir + "/result.tree");
        ASSERT_EQ(count_lines(treetext), 1);
        tnode t = parse_newick(treetext);
        ASSERT_EQ(t.kids.size(), 2u);
        EXPECT_TRUE(is_binary_below(t.kids[0]));
        EXPECT_EQ(t.kids[0].len, t.kids[1].len);
        strings tleaves;
        leaves(t, tleaves);
        EXPECT_EQ(std::set<std::string>(tleaves.begin(), tleaves.end()),
                  std::set<std::string>(gleaves.begin(), gleaves.end()));
        EXPECT_EQ(tleaves, ph.names) << "tree leaf order against alignment rows";
        auto gs = splits(gtree, "s1");
        auto ts = splits(t, "s1");
        for (auto& s : gs) EXPECT_TRUE(ts.count(s)) << type << " lost a guide-tree split";

        const std::string highest = value_after(r.out, "highest log likelihood: ");
        EXPECT_EQ(value_after(read_file(dir + "/result.param"), "likelihood = "), highest);
    }
}

// ---------------------------------------------------------------------------
// Two sequences: the printed log likelihood against the TKF91 link formula
// plus the JC69 terms of the printed alignment and tree.

TEST(CliTwoSeq, LikelihoodFromPrintedResults) {
    const char* seqs = ">a\nACGTTGCAACGTAGCTAGCTAGGA\n>b\nACGTTCAACGTTGGCTAGCAGGATT\n";
    std::string dir =
        setup(control("JC69", "maxsteps = 30\nreportafter = 10\n", "", "indmod [ALL]\n"), seqs,
              "(a:0.3,b:0.2);\n");
    ChildResult r = run(dir, {"control.txt", "0"});
    ASSERT_EQ(r.status, 0) << r.err;

    phylip ph = parse_phylip(read_file(dir + "/result.phy"));
    ASSERT_EQ(ph.rows.size(), 2u);
    const std::string& desc = ph.rows[0];  // the child
    const std::string& anc = ph.rows[1];   // the root leaf, first sequence
    tnode t = parse_newick(read_file(dir + "/result.tree"));
    ASSERT_EQ(t.kids.size(), 2u);
    EXPECT_EQ(t.kids[1].name, ph.names[1]);
    const double time = t.kids[0].len + t.kids[1].len;

    const double lam = 0.01, mu = 0.011, kap = lam / mu;
    const double e = std::exp(-(mu - lam) * time);
    const double alpha = std::exp(-mu * time);
    const double beta = lam * (1 - e) / (mu - lam * e);
    const double gamma = 1 - mu * (1 - e) / ((1 - alpha) * (mu - lam * e));

    // Links: the immortal one, then one per ancestor residue with the
    // insertions that follow it.
    struct linkinfo {
        bool survives;
        int inserted;
    };
    std::vector<linkinfo> links{{true, 0}};
    int m = 0;
    double sub = 0.0;
    const double pid = 0.25 + 0.75 * std::exp(-time / 75.0);
    const double pdiff = 0.25 - 0.25 * std::exp(-time / 75.0);
    for (std::size_t c = 0; c < anc.size(); ++c) {
        const bool a = anc[c] != '-', b = desc[c] != '-';
        if (a) {
            ++m;
            links.push_back({b, 0});
        } else if (b) {
            ++links.back().inserted;
        }
        if (a && b) sub += std::log(0.25) + std::log(anc[c] == desc[c] ? pid : pdiff);
        else sub += std::log(0.25);
    }
    double ind = std::log(1 - kap) + m * std::log(kap);
    ind += std::log(1 - beta) + links[0].inserted * std::log(beta);
    for (std::size_t i = 1; i < links.size(); ++i) {
        const int k = links[i].inserted;
        if (links[i].survives) ind += std::log(alpha) + std::log(1 - beta) + k * std::log(beta);
        else if (k == 0) ind += std::log(1 - alpha) + std::log(1 - gamma);
        else
            ind += std::log(1 - alpha) + std::log(gamma) + (k - 1) * std::log(beta) +
                   std::log(1 - beta);
    }
    const double expected = ind + sub;
    const double printed =
        std::stod(value_after(read_file(dir + "/result.param"), "likelihood = "));
    EXPECT_NEAR(printed, expected, 1e-5 * std::fabs(expected) + 1e-6);
    EXPECT_EQ(value_after(read_file(dir + "/result.param"), "indel model: "), "0.01 0.011 ");
}
