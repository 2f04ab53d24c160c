// Run parameter records and the control-file reader.
#ifndef QUILLMAR_CONTROL_EINGABE_H
#define QUILLMAR_CONTROL_EINGABE_H

#include <cstdint>
#include <string>
#include <vector>

#include "control/parser.h"
#include "sequence/seqcode.h"

// Section "SUBST".
class substmod_parameters {
public:
    subarch model = JC69;
    std::vector<double> params;  // rate parameters of the model
    std::vector<double> freqs;   // given state frequencies, not normalised
    bool freqs_given = false;    // the last "freqs" option gave a list
    bool model_given = false;    // at least one "model" option was read
    bool params_given = false;   // the last "parameter" option gave a list

    substmod_parameters() = default;
    substmod_parameters(const substmod_parameters&) = default;
    substmod_parameters& operator=(const substmod_parameters&) = default;
    ~substmod_parameters() = default;

    void adjust(subst_option opt, std::string value, option_arg kind);
    void setmodel(std::string value, option_arg kind);
    void setparams(std::string value, option_arg kind);
    void setfreqs(std::string value, option_arg kind);
    // Checks the options against each other and completes the record.
    void abgleich();
};

// Section "INDEL".
class indel_parameters {
public:
    idarch model = TKF1;
    std::vector<double> params{0.01, 0.011};  // insertion, deletion rate (, r)
    bool model_given = false;
    bool params_given = false;

    indel_parameters() = default;
    indel_parameters(const indel_parameters&) = default;
    indel_parameters& operator=(const indel_parameters&) = default;
    ~indel_parameters() = default;

    void adjust(indel_option opt, std::string value, option_arg kind);
    void setmodel(std::string value, option_arg kind);
    void setparams(std::string value, option_arg kind);
    void abgleich();
};

// Section "FILES".
class filenames {
public:
    std::string infile = "infile";
    std::string guidetree = "guidetree";
    std::string outtree = "outtree";
    std::string outalign = "outalign";
    std::string outparam = "outparam";
    std::string logfile = "logfile";
    int format = 0;  // 0 FASTA, 1 PHYLIP

    filenames() = default;
    filenames(const filenames&) = default;
    filenames& operator=(const filenames&) = default;
    ~filenames() = default;

    void adjust(files_option opt, std::string value);
};

// Raw "KEEP" options while the file is read. A given flag with an empty
// mask holds every parameter of that model.
class keep_intermediate {
public:
    std::vector<bool> subst_mask;
    bool subst_given = false;
    std::vector<bool> indel_mask;
    bool indel_given = false;

    keep_intermediate() = default;
    keep_intermediate(const keep_intermediate&) = default;
    keep_intermediate& operator=(const keep_intermediate&) = default;
    ~keep_intermediate() = default;

    void adjust(keep_option opt, std::string value, option_arg kind);
};

// One hold-fixed flag per substitution and per indel parameter.
class keepfixed {
public:
    std::vector<bool> subfix;
    std::vector<bool> indfix;

    keepfixed() = default;
    keepfixed(subarch sm, idarch im);
    keepfixed(subarch sm, idarch im, keep_intermediate keep);
    keepfixed(const keepfixed&) = default;
    ~keepfixed() = default;
    keepfixed operator=(keepfixed other);
};

// Section "COOL": the sampler's schedule.
class cooling {
public:
    static constexpr double default_delta = 1.0;
    static constexpr double default_coolali = 1.00001;
    static constexpr double default_ctree = 0.5;
    static constexpr double default_cparam = 0.5;
    static constexpr double default_alphatree = 0.5;
    static constexpr double default_alphaparam = 0.5;
    static constexpr std::uint32_t default_maxsteps = 4294967295u;
    static constexpr std::uint32_t default_reportafter = 1000;
    static constexpr std::uint32_t default_resamprange = 50;
    static constexpr std::uint32_t default_burnin = 1000;

    double delta = default_delta;
    double coolali = default_coolali;
    double ctree = default_ctree;
    double cparam = default_cparam;
    double alphatree = default_alphatree;
    double alphaparam = default_alphaparam;
    std::uint32_t maxsteps = default_maxsteps;
    std::uint32_t reportafter = default_reportafter;
    std::uint32_t resamprange = default_resamprange;  // at most 2147483647
    std::uint32_t burnin = default_burnin;

    cooling() = default;
    cooling(const cooling&) = default;
    ~cooling() = default;
    cooling operator=(cooling other);

    void adjust(cool_option opt, std::string value, option_arg kind);
    void setdelta(std::string value, option_arg kind);
    void setcoolali(std::string value, option_arg kind);
    void setctree(std::string value, option_arg kind);
    void setcparam(std::string value, option_arg kind);
    void setalphatree(std::string value, option_arg kind);
    void setalphaparam(std::string value, option_arg kind);
    void setburnin(std::string value, option_arg kind);
    void setmaxsteps(std::string value, option_arg kind);
    void setreportafter(std::string value, option_arg kind);
    void setresamprange(std::string value, option_arg kind);
};

// All run parameters.
class eingabe_parameter {
public:
    substmod_parameters subst;
    indel_parameters indelp;
    filenames files;
    keepfixed fix;
    cooling cool;

    eingabe_parameter() = default;
    eingabe_parameter(const eingabe_parameter&) = default;
    ~eingabe_parameter() = default;

    // Reads the control file; every error ends the run.
    void from_file(const char* path);
};

#endif
