#include "control_files.h"

#include <string>
#include <vector>

using Options = ControlFile;

namespace {

const std::string warn_subst_model =
    "\nWARNING:\nThe substitution model has already been set.\n"
    "The older value is now overwritten.\n\n";
const std::string warn_subst_params =
    "\nWARNING:\nThe substitution model's parameters have already been set.\n"
    "The older values are now overwritten.\n\n";
const std::string warn_subst_freqs =
    "\nWARNING:\nThe base or amino acid frequencies have already been set.\n"
    "The older values are now overwritten.\n\n";
const std::string warn_indel_model =
    "\nWARNING:\nThe insertion deletion model has already been set.\n"
    "The older value is now overwritten.\n\n";
const std::string warn_indel_params =
    "\nWARNING:\nThe insertion deletion model's parameters have already been set.\n"
    "The older values are now overwritten.\n\n";

const std::string subst_choices =
    "Please specify a substitution model using the option 'model=X'\n"
    "Possible choices for X are:\n"
    "for nucleotides:             for amino acids:\n"
    "   FEL81                        MV2000\n"
    "   JC69                         DAYHOFF\n"
    "   HKY                          BLOSUM62\n"
    "   KIMURA2P                     JTT\n"
    "   TAMNEI                       MTREV24\n"
    "   KIMURA3P\n"
    "   GENREV\n\n";
const std::string indel_choices =
    "Please specify an insertion and deletion model.\n"
    "Possible choices are:\n"
    "     TKF1\n"
    "     TKF2\n\n";
const std::string not_positive = "The parameters of the substitution model\nhave to be positive.\n";
const std::string no_aa_params =
    "The substitution model that you want to use does not\n"
    "accept user specified rate parameters or amino acid\nfrequencies.\n";
const std::string no_freqs =
    "The substitution model that you want to use does not\n"
    "accept user specified rate parameters or state frequencies.\n";
const std::string four_freqs = "Please specify exactly four frequencies for A,C,G and T.\n";
const std::string freqs_positive =
    "All nucleotide or amino acid frequencies have to be positive.\n";
const std::string tkf1_rates =
    "Both rates of the TKF1 model have to be positive and\n"
    "the first rate has to be smaller than the second one.\n";
const std::string tkf2_rates =
    "Both rates of the TKF2 model have to be positive and\n"
    "the first rate has to be smaller than the second one.\n";
const std::string tkf2_r =
    "The third parameter of the TKF2 model should be positive\nand smaller than 1.\n";
const std::string too_many_fixed = "You want to keep more parameters fixed than possible\n";

std::string subst(const std::string& lines) { return "SUBST:\n" + lines; }
std::string indel(const std::string& lines) { return "INDEL:\n" + lines; }
std::string cool(const std::string& lines) { return "COOL:\n" + lines; }

std::string list_of(int n, const char* item) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::string(i ? "," : "") + item;
    return "(" + s + ")";
}

using V = std::vector<double>;
using B = std::vector<bool>;

auto subst_is(subarch model, V params) {
    return [model, params](const eingabe_parameter& p) {
        EXPECT_EQ(p.subst.model, model);
        EXPECT_EQ(p.subst.params, params);
        EXPECT_TRUE(p.subst.model_given);
    };
}

auto indel_is(idarch model, V params) {
    return [model, params](const eingabe_parameter& p) {
        EXPECT_EQ(p.indelp.model, model);
        EXPECT_EQ(p.indelp.params, params);
    };
}

auto flags_are(B subfix, B indfix) {
    return [subfix, indfix](const eingabe_parameter& p) {
        EXPECT_EQ(p.fix.subfix, subfix);
        EXPECT_EQ(p.fix.indfix, indfix);
    };
}

}  // namespace

TEST_F(Options, SubstitutionModelsAndTheirDefaults) {
    const ReadCase cases[] = {
        {"GENREV", subst("model = GENREV\n"), subst_is(GENREV, V(6, 1.0)), ""},
        {"TAMNEI", subst("model = TAMNEI\n"), subst_is(TAMNEI, {0.5, 1.0}), ""},
        {"KIMURA3P", subst("model = kimura3p\n"), subst_is(KIMURA3P, {0.5, 1.0}), ""},
        {"HKY", subst("substitution MODEL = Hky\n"), subst_is(HKY, {0.5}), ""},
        {"KIMURA2P", subst("model = KIMURA2P\n"), subst_is(KIMURA2P, {0.5}), ""},
        {"FEL81", subst("model = FEL81\n"), subst_is(FEL81, {}), ""},
        {"JC69", subst("model = JC69\n"), subst_is(JC69, {}), ""},
        {"MV2000", subst("model = MV2000\n"), subst_is(MV2000, V(190, 1.0)), ""},
        {"JTT", subst("model = jtt\n"), subst_is(JTT, {}), ""},
        {"DAYHOFF", subst("model = DAYHOFF\n"), subst_is(DAYHOFF, {}), ""},
        {"MTREV24", subst("model = MTREV24\n"), subst_is(MTREV24, {}), ""},
        {"BLOSUM62", subst("model = BLOSUM62\n"), subst_is(BLOSUM62, {}), ""},
        {"model default", subst("model = nodefault\n"), subst_is(JC69, {}), ""},
        {"default wins over a name", subst("model = HKY default\n"), subst_is(JC69, {}), ""},
        {"model tested first", subst("freqsmodel = HKY\n"), subst_is(HKY, {0.5}), ""},
        {"given list", subst("model = GENREV\nparameter = (0.5, 1.0 ,2, 3,4,5)\n"),
         subst_is(GENREV, {0.5, 1.0, 2, 3, 4, 5}), ""},
        {"smallest positive rate", subst("model = HKY\nparameter = (7.1e-46)\n"),
         subst_is(HKY, {7.1e-46}), ""},
        {"largest rate", subst("model = HKY\nparameter = (1e6)\n"), subst_is(HKY, {1e6}), ""},
        {"largest and smallest rates",
         subst("model = GENREV\nparameter = (1e6, 7.1e-46, 1e6, 1, 1e6, 1e6)\n"),
         subst_is(GENREV, {1e6, 7.1e-46, 1e6, 1, 1e6, 1e6}), ""},
        {"second model holds", subst("model = HKY\nmodel = TAMNEI\n"), subst_is(TAMNEI, {0.5, 1.0}),
         warn_subst_model},
        {"default model line warns too", subst("model = default\nmodel = HKY\nmodel = JTT\n"),
         subst_is(JTT, {}), warn_subst_model + warn_subst_model},
        {"list then default warns", subst("model = HKY\nparameter = (2.0)\nparameter = default\n"),
         subst_is(HKY, {0.5}), warn_subst_params},
        {"default then list", subst("model = HKY\nparameter = default\nparameter = (2.0)\n"),
         subst_is(HKY, {2.0}), ""},
        {"list replaces list", subst("model = TAMNEI\nparameter = (1,2,3)\nparameter = (4, 5)\n"),
         subst_is(TAMNEI, {4, 5}), warn_subst_params},
        {"GENREV defaults replace leftovers",
         subst("model = GENREV\nparameter = (1, 2)\nparameter = default\n"),
         subst_is(GENREV, V(6, 1.0)), warn_subst_params},
        {"TAMNEI defaults replace leftovers",
         subst("model = TAMNEI\nparameter = (3)\nparameter = default\n"),
         subst_is(TAMNEI, {0.5, 1.0}), warn_subst_params},
        {"MV2000 defaults replace leftovers",
         subst("model = MV2000\nparameter = (1, 2)\nparameter = default\n"),
         subst_is(MV2000, V(190, 1.0)), warn_subst_params},
        {"FEL81 drops leftovers", subst("model = FEL81\nparameter = (1)\nparameter = default\n"),
         subst_is(FEL81, {}), warn_subst_params},
        {"JC69 drops leftovers", subst("model = JC69\nparameter = (1)\nparameter = default\n"),
         subst_is(JC69, {}), warn_subst_params},
        {"empirical model keeps leftovers",
         subst("model = JTT\nparameter = (1, 2)\nparameter = default\n"), subst_is(JTT, {1, 2}),
         warn_subst_params},
    };
    RUN_READ_CASES(cases);

    // Without a model line the parameters are left as they are.
    const std::string text = subst("parameter = (1, 2)\nparameter = default\n");
    expect_read(text, warn_subst_params);
    const eingabe_parameter p = read(text);
    EXPECT_EQ(p.subst.model, JC69);
    EXPECT_FALSE(p.subst.model_given);
    EXPECT_EQ(p.subst.params, (V{1, 2}));
}

TEST_F(Options, SubstitutionFaults) {
    const FatalCase cases[] = {
        {"parameters without model", subst("parameter = (1)\n"), subst_choices},
        {"freqs without model", subst("freqs = (1,1,1,1)\n"), subst_choices},
        {"GENREV count", subst("model = GENREV\nparameter = (1,2,3,4,5)\n"),
         "The general reversible model has six rate parameters.\n"},
        {"TAMNEI count", subst("model = TAMNEI\nparameter = (1,2,3)\n"),
         "The Tamura-Nei and the Kimura3P model have two rate parameters.\n"},
        {"KIMURA3P count", subst("model = KIMURA3P\nparameter = (1)\n"),
         "The Tamura-Nei and the Kimura3P model have two rate parameters.\n"},
        {"HKY count", subst("model = HKY\nparameter = (1,2)\n"),
         "The HKY and the K2P model have only one rate parameter.\n"},
        {"KIMURA2P count", subst("model = KIMURA2P\nparameter = (1,2)\n"),
         "The HKY and the K2P model have only one rate parameter.\n"},
        {"MV2000 count", subst("model = MV2000\nparameter = " + list_of(189, "1") + "\n"),
         "The general reversible model for proteins has 190 rate parameters.\n"},
        {"FEL81 list", subst("model = FEL81\nparameter = (1)\n"),
         "The Felsenstein model and the Jukes Cantor do not use\nany rate parameters.\n"},
        {"JC69 list", subst("model = JC69\nparameter = (1)\n"),
         "The Felsenstein model and the Jukes Cantor do not use\nany rate parameters.\n"},
        {"JTT parameters", subst("model = JTT\nparameter = (1)\n"), no_aa_params},
        {"DAYHOFF freqs", subst("model = DAYHOFF\nfreqs = " + list_of(20, "1") + "\n"),
         no_aa_params},
        {"zero rate", subst("model = GENREV\nparameter = (1, 2, 3, 4, 5, 0)\n"), not_positive},
        {"rate below single precision", subst("model = HKY\nparameter = (1e-46)\n"), not_positive},
        {"rate at the single-precision bound", subst("model = HKY\nparameter = (7.0e-46)\n"),
         not_positive},
        {"negative rate", subst("model = TAMNEI\nparameter = (1, -2)\n"), not_positive},
        {"infinite rate", subst("model = HKY\nparameter = (inf)\n"), not_positive},
        {"NaN rate", subst("model = MV2000\nparameter = " + list_of(190, "nan") + "\n"),
         not_positive},
        {"rate above 1e6", subst("model = HKY\nparameter = (1000000.5)\n"),
         "Invalid value 1000000.5 to option parameter (out of range: at most 1e6)\n"},
        {"largest finite rate", subst("model = TAMNEI\nparameter = (0.5, 1e308)\n"),
         "Invalid value 1e+308 to option parameter (out of range: at most 1e6)\n"},
        {"last of 190 rates",
         subst("model = MV2000\nparameter = " + list_of(189, "1").replace(378, 1, ",2e6)") + "\n"),
         "Invalid value 2e+06 to option parameter (out of range: at most 1e6)\n"},
        {"model VECTOR", subst("model = (HKY)\n"), "Invalid argument VECTOR to option model\n"},
        {"model ESTIMATE", subst("model = estimate\n"),
         "Invalid argument ESTIMATE to option model\n"},
        {"parameter VALUE", subst("parameter = 0.5\n"),
         "Invalid argument VALUE to option parameter\n"},
        {"parameter ALL", subst("parameter = [all]\n"),
         "Invalid argument ALL to option parameter\n"},
        {"freqs VALUE", subst("freqs = 0.25\n"), "Invalid argument VALUE to option freqs\n"},
        {"freqs INTERVAL", subst("freqs = [1]\n"), "Invalid argument INTERVAL to option freqs\n"},
        {"warning before the kind test", subst("model = HKY\nmodel = (HKY)\n"),
         warn_subst_model + "Invalid argument VECTOR to option model\n"},
        {"no keyword", subst("model = GTR\n"),
         "No key word was found where the name of\nthe substitution model was expected.\n"},
        {"SH94", subst("model = SH94\n"), "Unknown substitution model\n"},
        {"empty item", subst("model = GENREV\nparameter = (1,,2)\n"),
         "Cannot scan from string 1,,2\n"},
        {"trailing comma", subst("model = GENREV\nparameter = (1,2,)\n"),
         "Cannot scan from string 1,2,\n"},
        {"leading comma", subst("model = GENREV\nparameter = (,1)\n"),
         "Invalid string ,1 in function stringtovector\n"},
        {"empty list", subst("model = GENREV\nparameter = ()\n"), "Cannot scan from string \n"},
    };
    RUN_FATAL_CASES(cases);
}

TEST_F(Options, Frequencies) {
    auto freqs_are = [](subarch model, V freqs) {
        return [model, freqs](const eingabe_parameter& p) {
            EXPECT_EQ(p.subst.model, model);
            EXPECT_TRUE(p.subst.freqs_given);
            EXPECT_EQ(p.subst.freqs, freqs);
        };
    };
    const std::string equal = "You want all base frequencies to be equal,\n";
    const ReadCase cases[] = {
        {"estimate", subst("model = HKY\nfreqs = (1,2,3,4)\nfreqs = estimate\n"),
         [](const eingabe_parameter& p) {
             EXPECT_FALSE(p.subst.freqs_given);
             EXPECT_EQ(p.subst.model, HKY);
         },
         warn_subst_freqs},
        {"default", subst("model = GENREV\nfreqs = default\nfreqs = Estimate\n"),
         [](const eingabe_parameter& p) { EXPECT_FALSE(p.subst.freqs_given); }, ""},
        {"GENREV", subst("model = GENREV\nfreqs = (0.1, 0.2, 0.3, 0.4)\n"),
         freqs_are(GENREV, {0.1, 0.2, 0.3, 0.4}), ""},
        {"GENREV equal stays", subst("model = GENREV\nfreqs = (0.25,0.25,0.25,0.25)\n"),
         freqs_are(GENREV, V(4, 0.25)), ""},
        {"HKY unequal stays", subst("model = HKY\nfreqs = (1, 1, 1, 1)\n"),
         freqs_are(HKY, V(4, 1.0)), ""},
        {"HKY equal", subst("model = HKY\nparameter = (3)\nfreqs = (0.25, 0.25, 0.25, 0.25)\n"),
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, KIMURA2P);
             EXPECT_EQ(p.subst.params, (V{3}));
             EXPECT_EQ(p.subst.freqs, V(4, 0.25));
             EXPECT_TRUE(p.subst.freqs_given);
             EXPECT_TRUE(p.subst.params_given);
         },
         equal + "so the HKY model becomes the KIMURA2P model.\n"},
        {"TAMNEI equal", subst("model = TAMNEI\nfreqs = (0.25,0.25000001,0.25,0.249999995)\n"),
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, KIMURA3P);
             EXPECT_EQ(p.subst.params, (V{0.5, 1.0}));
         },
         equal + "so the Tamura-Nei model becomes the KIMURA3P model.\n"},
        {"FEL81 equal", subst("model = FEL81\nfreqs = (0.25,0.25,0.25,0.25)\n"),
         freqs_are(JC69, V(4, 0.25)), equal + "so the FEL81 model becomes the JC69 model.\n"},
        {"not equal in single precision",
         subst("model = FEL81\nfreqs = (0.25,0.25,0.25,0.25000002)\n"),
         freqs_are(FEL81, {0.25, 0.25, 0.25, 0.25000002}), ""},
        {"MV2000", subst("model = MV2000\nfreqs = " + list_of(20, "0.05") + "\n"),
         freqs_are(MV2000, V(20, 0.05)), ""},
        {"freqs twice", subst("model = HKY\nfreqs = (1,2,3,4)\nfreqs = (4,3,2,1)\n"),
         freqs_are(HKY, {4, 3, 2, 1}), warn_subst_freqs},
        {"counts", subst("model = GENREV\nfreqs = (2301000, 1190000, 1210000, 2299000)\n"),
         freqs_are(GENREV, {2301000, 1190000, 1210000, 2299000}), ""},
        {"widest ratio", subst("model = HKY\nfreqs = (0.5, 500000, 0.75, 1)\n"),
         freqs_are(HKY, {0.5, 500000, 0.75, 1}), ""},
        {"largest values", subst("model = FEL81\nfreqs = (1e100, 1e100, 1e99, 1e95)\n"),
         freqs_are(FEL81, {1e100, 1e100, 1e99, 1e95}), ""},
    };
    RUN_READ_CASES(cases);

    const FatalCase bad[] = {
        {"JC69", subst("model = JC69\nfreqs = (0.25,0.25,0.25,0.25)\n"), no_freqs},
        {"KIMURA2P", subst("model = KIMURA2P\nfreqs = (1,2,3,4)\n"), no_freqs},
        {"KIMURA3P", subst("model = KIMURA3P\nfreqs = (1,2,3,4)\n"), no_freqs},
        {"JTT", subst("model = JTT\nfreqs = " + list_of(20, "1") + "\n"), no_aa_params},
        {"GENREV five", subst("model = GENREV\nfreqs = (1,2,3,4,5)\n"), four_freqs},
        {"TAMNEI three", subst("model = TAMNEI\nfreqs = (1,2,3)\n"), four_freqs},
        {"HKY five equal", subst("model = HKY\nfreqs = (0.25,0.25,0.25,0.25,0.25)\n"), four_freqs},
        {"FEL81 twenty", subst("model = FEL81\nfreqs = " + list_of(20, "1") + "\n"), four_freqs},
        {"MV2000 four", subst("model = MV2000\nfreqs = (1,2,3,4)\n"),
         "Please specify exactly twenty amino acid frequencies.\n"},
        {"zero before the count", subst("model = GENREV\nfreqs = (1,0,3)\n"), freqs_positive},
        {"tiny", subst("model = HKY\nfreqs = (1,1e-46,1,1)\n"), freqs_positive},
        {"infinite", subst("model = HKY\nfreqs = (0.25,0.25,0.25,inf)\n"), freqs_positive},
        {"NaN", subst("model = GENREV\nfreqs = (nan,1,1,1)\n"), freqs_positive},
        {"not positive before JC69", subst("model = JC69\nfreqs = (0,1,1,1)\n"), freqs_positive},
        {"above 1e100", subst("model = GENREV\nfreqs = (1e308,1e308,1e308,1e308)\n"),
         "Invalid value 1e+308 to option freqs (out of range: at most 1e100)\n"},
        {"one dominant", subst("model = HKY\nfreqs = (1,1,1,1000000.1)\n"),
         "Invalid value 1000000.1 to option freqs "
         "(out of range: at most 1e6 times the smallest frequency)\n"},
        {"one tiny",
         subst("model = MV2000\nfreqs = " + list_of(19, "0.05").replace(0, 1, "(1e-9,") + "\n"),
         "Invalid value 0.05 to option freqs "
         "(out of range: at most 1e6 times the smallest frequency)\n"},
        {"count before range", subst("model = HKY\nfreqs = (1e308,1,1)\n"), four_freqs},
        {"kind before range", subst("model = JC69\nfreqs = (1e308,1,1,1)\n"), no_freqs},
    };
    RUN_FATAL_CASES(bad);
}

TEST_F(Options, IndelModels) {
    const ReadCase cases[] = {
        {"no model", indel("parameter = default\n"), indel_is(TKF1, {0.01, 0.011}), ""},
        {"TKF1 default", indel("model = TKF1\n"), indel_is(TKF1, {0.01, 0.011}), ""},
        {"TKF2 default", indel("model = tkf2\n"), indel_is(TKF2, {0.01, 0.011, 0.5}), ""},
        {"model default", indel("model = default\n"), indel_is(TKF1, {0.01, 0.011}), ""},
        {"TKF1 list", indel("model = TKF1\nparameter = (0.02, 0.03)\n"),
         indel_is(TKF1, {0.02, 0.03}), ""},
        {"rates compared exactly", indel("model = TKF1\nparameter = (0.01, 0.0100000001)\n"),
         indel_is(TKF1, {0.01, 0.0100000001}), ""},
        {"TKF2 list", indel("model = TKF2\nparameter = (0.02, 0.03, 0.4)\n"),
         indel_is(TKF2, {0.02, 0.03, 0.4}), ""},
        {"r just below 1", indel("model = TKF2\nparameter = (0.02, 0.03, 0.99999996)\n"),
         indel_is(TKF2, {0.02, 0.03, 0.99999996}), ""},
        {"r 0.99999997 rounds below 1",
         indel("model = TKF2\nparameter = (0.02, 0.03, 0.99999997)\n"),
         indel_is(TKF2, {0.02, 0.03, 0.99999997}), ""},
        {"second model holds", indel("model = TKF1\nmodel = TKF2\n"),
         indel_is(TKF2, {0.01, 0.011, 0.5}), warn_indel_model},
        {"list then default", indel("model = TKF2\nparameter = (1,2,0.5)\nparameter = default\n"),
         indel_is(TKF2, {0.01, 0.011, 0.5}), warn_indel_params},
        {"no model drops leftovers", indel("parameter = (0.5, 0.6)\nparameter = default\n"),
         indel_is(TKF1, {0.01, 0.011}), warn_indel_params},
        {"TKF1 defaults replace leftovers",
         indel("model = TKF1\nparameter = (1,2,0.5)\nparameter = default\n"),
         indel_is(TKF1, {0.01, 0.011}), warn_indel_params},
        {"default then list", indel("model = TKF1\nparameter = default\nparameter = (1, 2)\n"),
         indel_is(TKF1, {1, 2}), ""},
    };
    RUN_READ_CASES(cases);

    const FatalCase bad[] = {
        {"list without model", indel("parameter = (0.01, 0.02)\n"), indel_choices},
        {"TKF1 count", indel("model = TKF1\nparameter = (0.01, 0.02, 0.5)\n"),
         "The TKF1 model has two parameters.\n"},
        {"TKF2 count", indel("model = TKF2\nparameter = (0.01, 0.02)\n"),
         "The TKF2 model has three parameters.\n"},
        {"equal rates", indel("model = TKF1\nparameter = (0.01, 0.01)\n"), tkf1_rates},
        {"rates reversed", indel("model = TKF1\nparameter = (0.02, 0.01)\n"), tkf1_rates},
        {"zero insertion", indel("model = TKF1\nparameter = (0, 0.01)\n"), tkf1_rates},
        {"tiny insertion", indel("model = TKF1\nparameter = (1e-46, 0.01)\n"), tkf1_rates},
        {"infinite deletion", indel("model = TKF1\nparameter = (0.01, inf)\n"), tkf1_rates},
        {"NaN deletion", indel("model = TKF1\nparameter = (0.01, nan)\n"), tkf1_rates},
        {"TKF2 rates", indel("model = TKF2\nparameter = (0.02, 0.01, 0.5)\n"), tkf2_rates},
        {"r 1", indel("model = TKF2\nparameter = (0.01, 0.02, 1)\n"), tkf2_r},
        {"r 0.99999999", indel("model = TKF2\nparameter = (0.01, 0.02, 0.99999999)\n"), tkf2_r},
        {"r 0.99999998", indel("model = TKF2\nparameter = (0.01, 0.02, 0.99999998)\n"), tkf2_r},
        {"r 0", indel("model = TKF2\nparameter = (0.01, 0.02, 0)\n"), tkf2_r},
        {"r tiny", indel("model = TKF2\nparameter = (0.01, 0.02, 1e-46)\n"), tkf2_r},
        {"r infinite", indel("model = TKF2\nparameter = (0.01, 0.02, -inf)\n"), tkf2_r},
        {"FID", indel("model = FID\n"), "Unknown insertion and deletion model\n"},
        {"no keyword", indel("model = TKF\n"),
         "No key word was found where the name of the\ninsertion-deletion model was expected.\n"},
        {"model VECTOR", indel("model = (TKF1)\n"), "Invalid argument VECTOR to option model\n"},
        {"parameter VALUE", indel("parameter = 0.5\n"),
         "Invalid argument VALUE to option parameter\n"},
        {"parameter ESTIMATE", indel("model = TKF1\nparameter = (1,2)\nparameter = estimate\n"),
         warn_indel_params + "Invalid argument ESTIMATE to option parameter\n"},
    };
    RUN_FATAL_CASES(bad);
}

TEST_F(Options, KeepMasks) {
    const std::string genrev = "SUBST:\nmodel = GENREV\nKEEP:\n";
    const ReadCase cases[] = {
        {"no KEEP", "SUBST:\nmodel = GENREV\n", flags_are(B(6, false), {false, false}), ""},
        {"listed indices", genrev + "substmod [0,2]\n",
         flags_are({true, false, true, false, false, false}, {false, false}), ""},
        {"any order", genrev + "substmod [2, 0]\n",
         flags_are({true, false, true, false, false, false}, {false, false}), ""},
        {"blanks around indices", genrev + "substmod [ 2 ,\t0 ]\n",
         flags_are({true, false, true, false, false, false}, {false, false}), ""},
        {"duplicates", genrev + "substmod [2,0,2]\n",
         flags_are({true, false, true, false, false, false}, {false, false}), ""},
        {"last parameter", genrev + "substmod [5]\n",
         flags_are({false, false, false, false, false, true}, {false, false}), ""},
        {"later option replaces", genrev + "substmod [0,1]\nsubstmod [3]\n",
         flags_are({false, false, false, true, false, false}, {false, false}), ""},
        {"ALL then a list", genrev + "substmod [ALL]\nsubstmod [1]\n",
         flags_are({false, true, false, false, false, false}, {false, false}), ""},
        {"a list then ALL", genrev + "substmod [1]\nsubstmod [ALL]\n",
         flags_are(B(6, true), {false, false}), ""},
        {"indel ALL", "INDEL:\nmodel = TKF2\nKEEP:\nindmod [ALL]\n",
         flags_are({}, {true, true, true}), ""},
        {"indel list", "KEEP:\nINDMOD [1]\n", flags_are({}, {false, true}), ""},
        {"JC69 all", "KEEP:\nsubstmod [all]\n", flags_are({}, {false, false}), ""},
        {"small is ALL", genrev + "substmod [small]\n", flags_are(B(6, true), {false, false}), ""},
        {"no bracket", genrev + "substmod = all\nindmod = x\n",
         flags_are(B(6, false), {false, false}), ""},
        {"MV2000 last", "SUBST:\nmodel = MV2000\nKEEP:\nsubstmod [189]\n",
         [](const eingabe_parameter& p) {
             ASSERT_EQ(p.fix.subfix.size(), 190u);
             EXPECT_TRUE(p.fix.subfix[189]);
             EXPECT_FALSE(p.fix.subfix[188]);
         },
         ""},
        {"HKY mask after the change to KIMURA2P",
         "KEEP:\nsubstmod [0]\nSUBST:\nmodel = HKY\nfreqs = (0.25,0.25,0.25,0.25)\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.model, KIMURA2P);
             EXPECT_EQ(p.fix.subfix, (B{true}));
         },
         "You want all base frequencies to be equal,\n"
         "so the HKY model becomes the KIMURA2P model.\n"},
    };
    RUN_READ_CASES(cases);

    const FatalCase bad[] = {
        {"index beyond the count", genrev + "substmod [6]\n", too_many_fixed},
        {"JC69 index", "KEEP:\nsubstmod [0]\n", too_many_fixed},
        {"indel index", "KEEP:\nindmod [0,2]\n", too_many_fixed},
        {"MV2000 index 190", "SUBST:\nmodel = MV2000\nKEEP:\nsubstmod [190]\n", too_many_fixed},
        {"largest int", genrev + "substmod [2147483647]\n", too_many_fixed},
        {"beyond int", genrev + "substmod [4294967297]\n", too_many_fixed},
        {"huge", genrev + "substmod [1000000000]\n", too_many_fixed},
        {"negative", genrev + "substmod [-1]\n", "Invalid argument to option substmod\n"},
        {"negative among others", genrev + "indmod [1, -3]\n",
         "Invalid argument to option indmod\n"},
        {"very negative", genrev + "substmod [-99999999999]\n",
         "Invalid argument to option substmod\n"},
        {"empty list", genrev + "substmod []\n", "Cannot scan from string \n"},
        {"not a number", genrev + "substmod [default]\n", "Cannot scan from string default\n"},
        {"leading comma", genrev + "indmod [,1]\n", "Invalid string ,1 in function stringtolist\n"},
        {"fraction", genrev + "substmod [0, 1.5]\n",
         "Invalid value 0, 1.5 to option substmod (an integer is expected)\n"},
        {"exponent", "INDEL:\nmodel = TKF2\nKEEP:\nindmod [ 1e0 ]\n",
         "Invalid value 1e0 to option indmod (an integer is expected)\n"},
        {"blank inside", genrev + "substmod [1 2]\n",
         "Invalid value 1 2 to option substmod (an integer is expected)\n"},
        {"parenthesis", genrev + "substmod [0] (1)\n", "Invalid string [0] (1) in control file\n"},
    };
    RUN_FATAL_CASES(bad);
}

TEST_F(Options, ScheduleValues) {
    auto cool_is = [](auto field, auto value) {
        return [field, value](const eingabe_parameter& p) { EXPECT_EQ(p.cool.*field, value); };
    };
    const ReadCase cases[] = {
        {"delta", cool("delta = 0.3\n"), cool_is(&cooling::delta, 0.3), ""},
        {"delta smallest", cool("delta = 7.1e-46\n"), cool_is(&cooling::delta, 7.1e-46), ""},
        {"delta largest", cool("delta = 1000\n"), cool_is(&cooling::delta, 1000.0), ""},
        {"delta default", cool("delta = 2\ndelta = default\n"), cool_is(&cooling::delta, 1.0), ""},
        {"coolali", cool("coolali = 1.0005\n"), cool_is(&cooling::coolali, 1.0005), ""},
        {"coolali 1.001", cool("coolali = 1.001\n"), cool_is(&cooling::coolali, 1.001), ""},
        {"coolali just above 1", cool("coolali = 1.00000006\n"),
         cool_is(&cooling::coolali, 1.00000006), ""},
        {"coolali warning", cool("coolali = 1.002\n"), cool_is(&cooling::coolali, 1.002),
         "WARNING: coolali should only be slightly bigger than 1.0\n"},
        {"coolali just above 1.001", cool("coolali = 1.0010000001\n"),
         cool_is(&cooling::coolali, 1.0010000001),
         "WARNING: coolali should only be slightly bigger than 1.0\n"},
        {"coolali default", cool("coolali = 2\ncoolali = default\n"),
         cool_is(&cooling::coolali, 1.00001),
         "WARNING: coolali should only be slightly bigger than 1.0\n"},
        {"ctree", cool("ctree = 2.5\n"), cool_is(&cooling::ctree, 2.5), ""},
        {"cparam below 1", cool("cparam = 0.1\n"), cool_is(&cooling::cparam, 0.1), ""},
        {"alphatree", cool("alphatree = 3\n"), cool_is(&cooling::alphatree, 3.0), ""},
        {"alphaparam below 1", cool("alphaparam = 0.1\n"), cool_is(&cooling::alphaparam, 0.1), ""},
        {"maxsteps", cool("maxsteps = 123\n"), cool_is(&cooling::maxsteps, 123u), ""},
        {"maxsteps zero", cool("maxsteps = 0\n"), cool_is(&cooling::maxsteps, 0u), ""},
        {"maxsteps -1", cool("maxsteps = -1\n"), cool_is(&cooling::maxsteps, 4294967295u), ""},
        {"maxsteps -4294967295", cool("maxsteps = -4294967295\n"), cool_is(&cooling::maxsteps, 1u),
         ""},
        {"maxsteps saturates", cool("maxsteps = 4294967296\n"),
         cool_is(&cooling::maxsteps, 4294967295u), ""},
        {"maxsteps blanks and comment", cool("maxsteps = \t+12 \t # 1e6\n"),
         cool_is(&cooling::maxsteps, 12u), ""},
        {"maxsteps default", cool("maxsteps = 5\nmaxsteps = default\n"),
         cool_is(&cooling::maxsteps, 4294967295u), ""},
        {"reportafter", cool("reportafter = 250\n"), cool_is(&cooling::reportafter, 250u), ""},
        {"reportafter 1", cool("reportafter = 1\n"), cool_is(&cooling::reportafter, 1u), ""},
        {"resamprange", cool("resamprange = 1\n"), cool_is(&cooling::resamprange, 1u), ""},
        {"resamprange int max", cool("resamprange = 2147483647\n"),
         cool_is(&cooling::resamprange, 2147483647u), ""},
        {"resamprange 2^31", cool("resamprange = 2147483648\n"),
         cool_is(&cooling::resamprange, 2147483647u), ""},
        {"resamprange -1", cool("resamprange = -1\n"), cool_is(&cooling::resamprange, 2147483647u),
         ""},
        {"burnin", cool("burnin = 2\n"), cool_is(&cooling::burnin, 2u), ""},
        {"burnin -1", cool("burnin = -1\n"), cool_is(&cooling::burnin, 4294967295u), ""},
        {"repeated", cool("burnin = 5\nburnin = 7\n"), cool_is(&cooling::burnin, 7u), ""},
        {"every default",
         cool("delta = 2\ncoolali = 1.0001\nctree = 3\ncparam = 4\nalphatree = 5\n"
              "alphaparam = 6\nmaxsteps = 7\nreportafter = 8\nresamprange = 9\nburnin = 10\n"
              "delta = default\ncoolali = default\nctree = default\ncparam = default\n"
              "alphatree = default\nalphaparam = default\nmaxsteps = default\n"
              "reportafter = default\nresamprange = default\nburnin = default\n"),
         [](const eingabe_parameter& p) {
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
         },
         ""},
    };
    RUN_READ_CASES(cases);

    const FatalCase bad[] = {
        {"delta 0", cool("delta = 0\n"), "Delta has to be positive!\n"},
        {"delta negative", cool("delta = -1\n"), "Delta has to be positive!\n"},
        {"delta at the bound", cool("delta = 7.0e-46\n"), "Delta has to be positive!\n"},
        {"delta inf", cool("delta = inf\n"), "Delta has to be positive!\n"},
        {"delta nan", cool("delta = nan\n"), "Delta has to be positive!\n"},
        {"delta above 1000", cool("delta = 1000.0000001 \n"),
         "Invalid value 1000.0000001 to option delta (out of range: at most 1000)\n"},
        {"delta 1e308", cool("delta =\t1e308\n"),
         "Invalid value 1e308 to option delta (out of range: at most 1000)\n"},
        {"resamprange 0", cool("resamprange = 0\n"),
         "Invalid value 0 to option resamprange (out of range: at least 1)\n"},
        {"resamprange -0", cool("resamprange = -0\n"),
         "Invalid value -0 to option resamprange (out of range: at least 1)\n"},
        {"coolali 1", cool("coolali = 1\n"), "Coolali has to be bigger than 1.0\n"},
        {"coolali rounds to 1", cool("coolali = 1.00000005\n"),
         "Coolali has to be bigger than 1.0\n"},
        {"coolali infinity", cool("coolali = infinity\n"), "Coolali has to be bigger than 1.0\n"},
        {"ctree", cool("ctree = 0\n"), "ctree has to be bigger than 0.0\n"},
        {"ctree inf", cool("ctree = inf\n"), "ctree has to be bigger than 0.0\n"},
        {"cparam", cool("cparam = 0\n"), "cparam has to be bigger than 1.0\n"},
        {"cparam inf", cool("cparam = inf\n"), "cparam has to be bigger than 1.0\n"},
        {"alphatree", cool("alphatree = -0.5\n"), "alphatree has to be bigger than 0.0\n"},
        {"alphatree nan", cool("alphatree = nan\n"), "alphatree has to be bigger than 0.0\n"},
        {"alphaparam", cool("alphaparam = 1e-46\n"), "alphaparam has to be bigger than 1.0\n"},
        {"alphaparam inf", cool("alphaparam = inf\n"), "alphaparam has to be bigger than 1.0\n"},
        {"burnin 1", cool("burnin = 1\n"), "You should allow more than one burn in steps!\n"},
        {"burnin 0", cool("burnin = 0\n"), "You should allow more than one burn in steps!\n"},
        {"burnin 1e4", cool("burnin = 1e4\n"),
         "Invalid value 1e4 to option burn_in (an integer is expected)\n"},
        {"maxsteps 1e6", cool("maxsteps = 1e6\n"),
         "Invalid value 1e6 to option maxsteps (an integer is expected)\n"},
        {"maxsteps with a word", cool("maxsteps = 100 steps\n"),
         "Invalid value 100 steps to option maxsteps (an integer is expected)\n"},
        {"reportafter 250.7", cool("reportafter = 250.7\n"),
         "Invalid value 250.7 to option reportafter (an integer is expected)\n"},
        {"resamprange 50x", cool("resamprange = 50x\n"),
         "Invalid value 50x to option resamprange (an integer is expected)\n"},
        {"negative with a fraction", cool("maxsteps = -1.5\n"),
         "Invalid value -1.5 to option maxsteps (an integer is expected)\n"},
        {"reportafter 0", cool("reportafter = 0\n"), "reportafter has to be bigger than 0\n"},
        {"reportafter -0", cool("reportafter = -0\n"), "reportafter has to be bigger than 0\n"},
        {"two items", cool("delta = 1,2\n"),
         "Invalid value 1,2 to option delta (a number is expected)\n"},
        {"two counts", cool("maxsteps = 1,2\n"),
         "Invalid value 1,2 to option maxsteps (an integer is expected)\n"},
        {"not a number", cool("delta = abc\n"), "Cannot scan from string  abc\n"},
        {"empty item", cool("delta = 1,\n"), "Cannot scan from string  1,\n"},
        {"blank comma", cool("maxsteps = ,5\n"), "Cannot scan from string  ,5\n"},
        {"leading comma", cool("maxsteps =,5\n"), "Invalid string ,5 in function stringtovector\n"},
        {"maxsteps VECTOR", cool("maxsteps = (5)\n"),
         "Invalid argument VECTOR to option maxsteps\n"},
        {"coolali INTERVAL", cool("coolali = [1]\n"),
         "Invalid argument INTERVAL to option coolali\n"},
        {"delta ALL", cool("delta = [all]\n"), "Invalid argument ALL to option delta\n"},
    };
    RUN_FATAL_CASES(bad);

    // The name of every option in its kind message.
    const char* const names[][2] = {
        {"delta", "delta"},
        {"coolali", "coolali"},
        {"ctree", "ctree"},
        {"cparam", "cparam"},
        {"alphatree", "alphatree"},
        {"alphaparam", "alphaparam"},
        {"burnin", "burn_in"},
        {"maxsteps", "maxsteps"},
        {"reportafter", "reportafter"},
        {"resamprange", "resamprange"},
    };
    for (const auto& n : names) {
        SCOPED_TRACE(n[0]);
        expect_fatal(cool(std::string(n[0]) + " = estimate\n"),
                     std::string("Invalid argument ESTIMATE to option ") + n[1] + "\n");
    }
}

// Every real value and every item of a real list is its number alone, with
// blanks around it at most; the fault names the option and the value.
TEST_F(Options, RealValuesHoldNothingButTheirNumber) {
    const std::string hky = "SUBST:\nmodel = HKY\n";
    const std::string tkf1 = "INDEL:\nmodel = TKF1\n";
    auto bad = [](const std::string& value, const char* name) {
        return "Invalid value " + value + " to option " + name + " (a number is expected)\n";
    };
    const FatalCase cases[] = {
        {"decimal comma", cool("delta = 0,5\n"), bad("0,5", "delta")},
        {"two values", cool("ctree = 0.5,0.7\n"), bad("0.5,0.7", "ctree")},
        {"letters after", cool("delta = 1.5abc\n"), bad("1.5abc", "delta")},
        {"two numbers", cool("delta = 2 3\n"), bad("2 3", "delta")},
        {"bare exponent", cool("coolali = 1e\n"), bad("1e", "coolali")},
        {"signed bare exponent", cool("cparam = 2E+ # 2\n"), bad("2E+", "cparam")},
        {"alphatree", cool("alphatree = 0.5x\n"), bad("0.5x", "alphatree")},
        {"note after a colon", cool("coolali = 1.0001 : note\n"), bad("1.0001 : note", "coolali")},
        {"alphaparam", cool("alphaparam =\t0.5 0.6\t\n"), bad("0.5 0.6", "alphaparam")},
        {"NUL after the number", cool("ctree = 0.5" + std::string(1, '\0') + "\n"),
         bad("0.5" + std::string(1, '\0'), "ctree")},
        {"subst item", subst("model = HKY\nparameter = (2.0abc)\n"), bad("2.0abc", "parameter")},
        {"subst last item", subst("model = TAMNEI\nparameter = ( 0.5, 1.0 1 )\n"),
         bad("0.5, 1.0 1", "parameter")},
        {"indel item", tkf1 + "parameter = (0.01, 0.02x)\n", bad("0.01, 0.02x", "parameter")},
        {"indel first item", "INDEL:\nmodel = TKF2\nparameter = (0.01;0.02, 0.03, 0.5)\n",
         bad("0.01;0.02, 0.03, 0.5", "parameter")},
        {"freqs item", hky + "freqs = (0.3, 0.4x, 0.2, 0.1)\n",
         bad("0.3, 0.4x, 0.2, 0.1", "freqs")},
        {"before the model checks", subst("freqs = (1e-3e, 1, 1, 1)\n"),
         bad("1e-3e, 1, 1, 1", "freqs")},
        {"warning first", hky + "parameter = (2)\nparameter = (2.5.1)\n",
         warn_subst_params + bad("2.5.1", "parameter")},
        {"item that does not scan", hky + "freqs = (0.4x, y, 1, 1)\n",
         "Cannot scan from string 0.4x, y, 1, 1\n"},
    };
    RUN_FATAL_CASES(cases);

    // Valid values keep their doubles: exponents, hexadecimal, signs, blanks,
    // carriage returns and comments.
    const ReadCase good[] = {
        {"schedule reals",
         cool("delta = 1e-3\ncoolali =\t1.00002 \t\nctree = +2.5E0\r\ncparam = .75 # 0,5\n"
              "alphatree = 0x1p-3\nalphaparam = 3.\n"),
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.cool.delta, 1e-3);
             EXPECT_EQ(p.cool.coolali, 1.00002);
             EXPECT_EQ(p.cool.ctree, 2.5);
             EXPECT_EQ(p.cool.cparam, 0.75);
             EXPECT_EQ(p.cool.alphatree, 0.125);
             EXPECT_EQ(p.cool.alphaparam, 3.0);
         },
         ""},
        {"lists",
         "SUBST:\nmodel = GENREV\nparameter = ( 1e-3,2 ,\t3.5e+1 , 4, 5.0\r,6 ) x\n"
         "freqs = (0.1,0.2, 0.3 ,4E-1)  # (0.4x)\n"
         "INDEL:\nmodel = TKF2\nparameter = (1e-2, 0.011, 5e-1)\n",
         [](const eingabe_parameter& p) {
             EXPECT_EQ(p.subst.params, (V{1e-3, 2, 35, 4, 5, 6}));
             EXPECT_EQ(p.subst.freqs, (V{0.1, 0.2, 0.3, 0.4}));
             EXPECT_EQ(p.indelp.params, (V{0.01, 0.011, 0.5}));
         },
         ""},
    };
    RUN_READ_CASES(good);
}
