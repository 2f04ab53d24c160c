#include "control_files.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using Reader = ControlFile;

namespace {

void expect_completed_defaults(const eingabe_parameter& p) {
    EXPECT_EQ(p.subst.model, JC69);
    EXPECT_TRUE(p.subst.params.empty());
    EXPECT_FALSE(p.subst.freqs_given);
    EXPECT_EQ(p.indelp.model, TKF1);
    EXPECT_EQ(p.indelp.params, (std::vector<double>{0.01, 0.011}));
    EXPECT_EQ(p.files.infile, "infile");
    EXPECT_EQ(p.files.logfile, "logfile");
    EXPECT_EQ(p.cool.maxsteps, 4294967295u);
    EXPECT_EQ(p.cool.burnin, 1000u);
    EXPECT_TRUE(p.fix.subfix.empty());
    EXPECT_EQ(p.fix.indfix, (std::vector<bool>{false, false}));
}

// The values of 190 distinct positive rates, written with one blank each.
std::string rate_list(std::vector<double>& rates) {
    std::ostringstream os;
    rates.clear();
    for (int i = 0; i < 190; ++i) {
        rates.push_back(0.5 + i);
        os << (i ? ", " : "") << 0.5 + i;
    }
    return os.str();
}

}  // namespace

TEST_F(Reader, FilesWithoutSectionsKeepTheDefaults) {
    const std::string texts[] = {
        "",
        "\n\n",
        "model = HKY\nparameter = (1,2]\nfoo = [3\nmaxsteps = 0\n",
        "# SUBST:\n  \ninfile = x\n",
        "nothing : here\nmodel = HKY\n",
    };
    for (const std::string& t : texts) {
        SCOPED_TRACE(t);
        expect_read(t, "");
        expect_completed_defaults(read(t));
    }
}

TEST_F(Reader, HeadlinesAndSections) {
    const ReadCase cases[] = {
        {"lower-case headline", "subst:\nmodel = HKY\n",
         [](const eingabe_parameter& p) { EXPECT_EQ(p.subst.model, HKY); }, ""},
        {"word anywhere before the colon", "== Substitution model ==:\nModel=hky85\n",
         [](const eingabe_parameter& p) { EXPECT_EQ(p.subst.model, HKY); }, ""},
        {"opening headline sets nothing", "SUBST: model = HKY\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, JC69);
             EXPECT_FALSE(p.subst.model_given);
         },
         ""},
        {"headline of the open section is an option line", "SUBST:\nSUBST: model = HKY\n",
         [](const eingabe_parameter& p) { EXPECT_EQ(p.subst.model, HKY); }, ""},
        {"colon after a comment", "SUBST:\nmodel = HKY # see INDEL: below\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, HKY);
             EXPECT_FALSE(p.indelp.model_given);
         },
         ""},
        {"word without colon", "SUBST:\nSUBST\nINDEL\nmodel = HKY\n",
         [](const eingabe_parameter& p) { EXPECT_EQ(p.subst.model, HKY); }, ""},
        {"file name that opens COOL",
         "FILES:\ninfile = /data/cool:run1\nmaxsteps = 7\ninfile = seq\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.files.infile, "infile");
             EXPECT_EQ(p.cool.maxsteps, 7u);
         },
         ""},
        {"KEEP line that opens SUBST",
         "SUBST:\nmodel = HKY\nKEEP:\nsubstmod [0]: first rate\nmodel = GENREV\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, GENREV);
             EXPECT_EQ(p.fix.subfix, std::vector<bool>(6, false));
         },
         "\nWARNING:\nThe substitution model has already been set.\n"
         "The older value is now overwritten.\n\n"},
        {"colon in a key of the open section", "COOL:\ncoolali: slow = 1.0001\n",
         [](const eingabe_parameter& p) { EXPECT_EQ(p.cool.coolali, 1.0001); }, ""},
        {"sections in any order, repeated",
         "INDEL:\nmodel = TKF2\nSUBST:\nmodel = HKY\nCOOL:\nburnin = 5\nSUBST:\n"
         "parameter = (2.5)\nINDEL:\nparameter = (0.02, 0.03, 0.4)\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, HKY);
             EXPECT_EQ(p.subst.params, (std::vector<double>{2.5}));
             EXPECT_EQ(p.indelp.model, TKF2);
             EXPECT_EQ(p.indelp.params, (std::vector<double>{0.02, 0.03, 0.4}));
             EXPECT_EQ(p.cool.burnin, 5u);
         },
         ""},
        {"comments and unknown keys",
         "# model = HKY\nSUBST: # x\n#model = GENREV\nmodl = GENREV\nmodel # = (GENREV\n"
         "freq = (1, 2)\nmodel = HKY#(\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, HKY);
             EXPECT_FALSE(p.subst.freqs_given);
         },
         ""},
        {"last line without a line break", "INDEL:\nmodel = TKF2",
         [](const eingabe_parameter& p) { EXPECT_EQ(p.indelp.model, TKF2); }, ""},
    };
    RUN_READ_CASES(cases);
}

TEST_F(Reader, BadBracketsEndTheRunInsideSections) {
    const FatalCase cases[] = {
        {"known key", "SUBST:\nparameter = (1,2]\n", "Invalid string  (1,2] in control file\n"},
        {"unknown key", "SUBST:\nfoo = [3\n", "Invalid string  [3 in control file\n"},
        {"note line", "COOL:\nNote: a = (b\n", "Invalid string  (b in control file\n"},
        {"FILES first word", "FILES:\nnothing = (x y)\n", "Invalid string (x in control file\n"},
        {"KEEP", "KEEP:\nfoo [1) #\n", "Invalid string [1)  in control file\n"},
    };
    RUN_FATAL_CASES(cases);
}

TEST_F(Reader, FileNames) {
    const ReadCase cases[] = {
        {"all names",
         "FILES:\ninfile = seq.fa\nguidetree=tree.nwk\noutTree = t.out\noutalign = a.out\n"
         "outparam = p.out\nlogfile = run.log\nformat = 1\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.files.infile, "seq.fa");
             EXPECT_EQ(p.files.guidetree, "tree.nwk");
             EXPECT_EQ(p.files.outtree, "t.out");
             EXPECT_EQ(p.files.outalign, "a.out");
             EXPECT_EQ(p.files.outparam, "p.out");
             EXPECT_EQ(p.files.logfile, "run.log");
             EXPECT_EQ(p.files.format, 1);
         },
         ""},
        {"first words and brackets",
         "FILES:\ninfile = my sequences.fa\nguidetree = (seqs).fa\noutalign = default\n"
         "logfile = a\nlogfile = b\nformat = (1)\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.files.infile, "my");
             EXPECT_EQ(p.files.guidetree, "seqs");
             EXPECT_EQ(p.files.outalign, "default");
             EXPECT_EQ(p.files.logfile, "b");
             EXPECT_EQ(p.files.format, 1);
         },
         ""},
    };
    RUN_READ_CASES(cases);
    const FatalCase bad[] = {
        {"letters", "FILES:\nformat = phylip\n", "Cannot scan from the argument of 'format = '\n"},
        {"nothing", "FILES:\nformat = \n", "Cannot scan from the argument of 'format = '\n"},
        {"trailing letter", "FILES:\nformat = -2x\n",
         "Invalid value -2x to option format (an integer is expected)\n"},
        {"fraction", "FILES:\nformat = 1.0\n",
         "Invalid value 1.0 to option format (an integer is expected)\n"},
        // Formats without a reader, refused as read; large values saturate.
        {"format 2", "FILES:\nformat = 2\n", "Format 2 not supported\n"},
        {"format in brackets", "FILES:\nformat = (7)\n", "Format 7 not supported\n"},
        {"negative format", "FILES:\nformat = -2\n", "Format -2 not supported\n"},
        {"format out of range saturates", "FILES:\nformat = 99999999999\n",
         "Format 2147483647 not supported\n"},
        {"refused before a later valid format", "FILES:\nformat = 2\nformat = 0\n",
         "Format 2 not supported\n"},
        // An empty name is no file, whatever comes after it.
        {"empty infile", "FILES:\ninfile =\ninfile = seq.fa\n",
         "No file name given to option infile\n"},
        {"empty guide tree", "FILES:\nguidetree =  \t\n",
         "No file name given to option guidetree\n"},
        {"empty tree file", "FILES:\nouttree =\n", "No file name given to option outtree\n"},
        {"empty alignment file", "FILES:\noutalign =\n", "No file name given to option outalign\n"},
        {"name only a comment", "FILES:\noutparam = # none\n",
         "No file name given to option outparam\n"},
        {"empty log", "FILES:\nlogfile=\n", "No file name given to option logfile\n"},
    };
    RUN_FATAL_CASES(bad);
}

TEST_F(Reader, CrLfLinesGiveTheSameRecord) {
    const std::string lf =
        "SUBST:\nmodel = HKY\nparameter = (2.5)\nfreqs = (0.1, 0.2, 0.3, 0.4)\nINDEL:\n"
        "model = TKF2\nparameter = (0.02,0.03,0.4)\nFILES:\ninfile = seq.fa\nformat = 1\n"
        "KEEP:\nsubstmod [0]\nindmod [ALL]\nCOOL:\nmaxsteps = 5\ncoolali = 1.0005\n";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    expect_read(crlf, "");
    const eingabe_parameter a = read(lf), b = read(crlf);
    EXPECT_EQ(b.subst.model, a.subst.model);
    EXPECT_EQ(b.subst.params, a.subst.params);
    EXPECT_EQ(b.subst.freqs, a.subst.freqs);
    EXPECT_EQ(b.indelp.model, a.indelp.model);
    EXPECT_EQ(b.indelp.params, a.indelp.params);
    EXPECT_EQ(b.files.infile, "seq.fa");
    EXPECT_EQ(b.files.format, 1);
    EXPECT_EQ(b.fix.subfix, (std::vector<bool>{true}));
    EXPECT_EQ(b.fix.indfix, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(b.cool.maxsteps, 5u);
    EXPECT_EQ(b.cool.coolali, 1.0005);
}

TEST_F(Reader, LinesUpTo1999CharactersAreReadWhole) {
    std::vector<double> rates;
    const std::string list = rate_list(rates);
    std::string line = "parameter";
    line += std::string(1999 - line.size() - 4 - list.size(), ' ') + "= (" + list + ")";
    ASSERT_EQ(line.size(), 1999u);
    const std::string head = "SUBST:\nmodel = MV2000\n";
    for (const std::string& text : {head + line + "\n", head + line}) {
        expect_read(text, "");
        EXPECT_EQ(read(text).subst.params, rates);
    }
}

TEST_F(Reader, OverlongLinesAndReadErrorsEndTheRun) {
    const std::string longline = "parameter = (1" + std::string(1985, ' ') + ")";
    ASSERT_EQ(longline.size(), 2000u);
    struct Case {
        const char* name;
        std::string text;
        int line;
    } cases[] = {
        {"2000 characters", "SUBST:\nmodel = HKY\n" + longline + "\n", 3},
        {"2000 characters at the end", "SUBST:\nmodel = HKY\n" + longline, 3},
        {"before any headline", std::string(5000, '#') + "\nSUBST:\n", 1},
        {"a long blank line", "\n\n" + std::string(100000, ' ') + "\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write(c.text);
        EXPECT_TRUE(fatal_with(read_path_in_child(path), "Line " + std::to_string(c.line) +
                                                             " of control file " + path +
                                                             " is longer than 1999 characters\n"));
    }

    EXPECT_TRUE(
        fatal_with(read_path_in_child(dir), "Cannot read line 1 of control file " + dir + "\n"));

    const std::string missing = dir + "/missing";
    EXPECT_TRUE(fatal_with(read_path_in_child(missing), "cannot open file " + missing + "\n"));
}

TEST_F(Reader, CompletionRunsSubstitutionFirst) {
    expect_fatal("INDEL:\nmodel = FID\nSUBST:\nmodel = SH94\n", "Unknown substitution model\n");
    expect_fatal("INDEL:\nmodel = FID\nSUBST:\nmodel = HKY\n",
                 "Unknown insertion and deletion model\n");
    expect_fatal("KEEP:\nsubstmod [3]\nINDEL:\nmodel = FID\n",
                 "Unknown insertion and deletion model\n");
}
