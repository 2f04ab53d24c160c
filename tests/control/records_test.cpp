#include "control/eingabe.h"

#include "control_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

TEST(Records, Defaults) {
    const eingabe_parameter p;
    EXPECT_EQ(p.subst.model, JC69);
    EXPECT_TRUE(p.subst.params.empty());
    EXPECT_TRUE(p.subst.freqs.empty());
    EXPECT_FALSE(p.subst.freqs_given);
    EXPECT_FALSE(p.subst.model_given);
    EXPECT_FALSE(p.subst.params_given);

    EXPECT_EQ(p.indelp.model, TKF1);
    EXPECT_EQ(p.indelp.params, (std::vector<double>{0.01, 0.011}));
    EXPECT_FALSE(p.indelp.model_given);
    EXPECT_FALSE(p.indelp.params_given);

    EXPECT_EQ(p.files.infile, "infile");
    EXPECT_EQ(p.files.guidetree, "guidetree");
    EXPECT_EQ(p.files.outtree, "outtree");
    EXPECT_EQ(p.files.outalign, "outalign");
    EXPECT_EQ(p.files.outparam, "outparam");
    EXPECT_EQ(p.files.logfile, "logfile");
    EXPECT_EQ(p.files.format, 0);

    EXPECT_TRUE(p.fix.subfix.empty());
    EXPECT_TRUE(p.fix.indfix.empty());

    EXPECT_EQ(p.cool.delta, 1.0);
    EXPECT_EQ(p.cool.coolali, 1.00001);
    EXPECT_EQ(p.cool.ctree, 0.5);
    EXPECT_EQ(p.cool.cparam, 0.5);
    EXPECT_EQ(p.cool.alphatree, 0.5);
    EXPECT_EQ(p.cool.alphaparam, 0.5);
    EXPECT_EQ(p.cool.maxsteps, 4294967295u);
    EXPECT_EQ(p.cool.reportafter, 1000u);
    EXPECT_EQ(p.cool.resamprange, 50u);
    EXPECT_EQ(p.cool.burnin, 1000u);

    const keep_intermediate k;
    EXPECT_TRUE(k.subst_mask.empty());
    EXPECT_FALSE(k.subst_given);
    EXPECT_TRUE(k.indel_mask.empty());
    EXPECT_FALSE(k.indel_given);
}

TEST(Records, CopiesAreIndependent) {
    eingabe_parameter a;
    a.subst.params = {1.0, 2.0};
    a.fix.subfix = {true, false};
    a.cool.maxsteps = 7;
    eingabe_parameter b(a);
    b.subst.params[0] = 5.0;
    b.files.infile = "other";
    b.indelp.params.push_back(0.5);
    b.fix.subfix[0] = false;
    EXPECT_EQ(a.subst.params, (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(a.files.infile, "infile");
    EXPECT_EQ(a.indelp.params.size(), 2u);
    EXPECT_TRUE(a.fix.subfix[0]);
    EXPECT_EQ(b.cool.maxsteps, 7u);

    keepfixed k1(GENREV, TKF2);
    keepfixed k2;
    keepfixed r = (k2 = k1);
    EXPECT_EQ(k2.subfix.size(), 6u);
    EXPECT_EQ(r.indfix.size(), 3u);
    r.subfix[0] = true;
    EXPECT_FALSE(k2.subfix[0]);

    cooling c1;
    c1.burnin = 9;
    c1.delta = 0.25;
    cooling c2;
    cooling c3 = (c2 = c1);
    EXPECT_EQ(c2.burnin, 9u);
    EXPECT_EQ(c3.delta, 0.25);
}

TEST(Records, KeepfixedSizedByModel) {
    struct Case {
        subarch s;
        idarch i;
        std::size_t nsub, nind;
    } cases[] = {
        {GENREV, TKF2, 6, 3},   {JC69, TKF1, 0, 2},    {TAMNEI, TKF1, 2, 2},
        {KIMURA3P, TKF1, 2, 2}, {HKY, TKF1, 1, 2},     {KIMURA2P, TKF1, 1, 2},
        {MV2000, TKF1, 190, 2}, {FEL81, TKF1, 0, 2},   {JTT, TKF1, 0, 2},
        {DAYHOFF, TKF1, 0, 2},  {MTREV24, TKF1, 0, 2}, {BLOSUM62, TKF1, 0, 2},
    };
    for (const Case& c : cases) {
        keepfixed k(c.s, c.i);
        EXPECT_EQ(k.subfix, std::vector<bool>(c.nsub, false)) << c.s;
        EXPECT_EQ(k.indfix, std::vector<bool>(c.nind, false)) << c.s;
    }
    EXPECT_FATAL(keepfixed k(SH94, TKF1), "Unknown substitution model in function keepfixed.\n");
    EXPECT_FATAL(keepfixed k(JC69, FID), "Unknown indel model in function keepfixed.\n");
    EXPECT_FATAL(keepfixed k(SH94, FID, keep_intermediate()),
                 "Unknown substitution model in function keepfixed.\n");
}

TEST(Records, ImpossibleOptions) {
    EXPECT_TRUE(ends_fatally(
        [] {
            substmod_parameters s;
            s.adjust(static_cast<subst_option>(4), "x", option_arg::VALUE);
        },
        "Impossible option 4 under headline SUBST\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            indel_parameters s;
            s.adjust(static_cast<indel_option>(0), "x", option_arg::VALUE);
        },
        "Impossible option under headline INDEL\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            filenames f;
            f.adjust(static_cast<files_option>(8), "x");
        },
        "Impossible option under headline FILES\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            keep_intermediate k;
            k.adjust(static_cast<keep_option>(3), "1", option_arg::INTERVAL);
        },
        "Impossible option under headline KEEP\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            cooling c;
            c.adjust(static_cast<cool_option>(11), "1", option_arg::VALUE);
        },
        "Impossible option under headline COOL\n"));
}

TEST(Records, KeepOptionRejectsOtherKinds) {
    const option_arg kinds[] = {option_arg::VALUE, option_arg::VECTOR, option_arg::DEFAULT,
                                option_arg::ESTIMATE, option_arg::NONE};
    for (option_arg kind : kinds) {
        EXPECT_TRUE(ends_fatally(
            [kind] {
                keep_intermediate k;
                k.adjust(keep_option::SUBSTMOD, "1", kind);
            },
            "Invalid argument to option substmod\n"));
        EXPECT_TRUE(ends_fatally(
            [kind] {
                keep_intermediate k;
                k.adjust(keep_option::INDMOD, "1", kind);
            },
            "Invalid argument to option indmod\n"));
    }
}
