// Golden runs: whole fixed-seed runs whose every output is compared byte for
// byte with a recorded copy: standard output, standard error, the three
// result files and the log without its CPU-time line.
//
// Each folder under tests/sampler/golden holds the inputs of one run and a
// file `run` with the analysis type and the seed; its recorded outputs are in
// its `expected` folder. QUILLMAR_RECORD_GOLDEN=1 (scripts/record-golden)
// records them anew instead of comparing.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sampler/quillmar.h"
#include "sequence/random.h"
#include "support/subprocess.h"

namespace {

namespace fs = std::filesystem;

const fs::path kGolden = fs::path(QUILLMAR_SOURCE_DIR) / "tests" / "sampler" / "golden";
const char* const kOutputs[] = {"result.phy", "result.tree", "result.param", "run.log"};

bool recording() {
    const char* v = std::getenv("QUILLMAR_RECORD_GOLDEN");
    return v != nullptr && std::string(v) == "1";
}

std::vector<std::string> cases() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(kGolden))
        if (e.is_directory()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The log without its CPU-time line, which depends on the machine.
std::string without_time(const std::string& log) {
    std::istringstream in(log);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Time: ", 0) != 0) kept += line + "\n";
    return kept;
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, RunMatchesRecord) {
    const fs::path src = kGolden / GetParam();
    int type = -1;
    unsigned seed = 0;
    {
        std::istringstream run(read_file((src / "run").string()));
        run >> type >> seed;
        ASSERT_TRUE(run && type >= 0 && type <= 2) << "bad run file in " << src;
    }
    const std::string dir = make_temp_dir();
    for (const auto& e : fs::directory_iterator(src))
        if (e.is_regular_file() && e.path().filename() != "run")
            fs::copy_file(e.path(), fs::path(dir) / e.path().filename());

    ChildResult r = run_in_child(
        [&] {
            if (chdir(dir.c_str()) != 0) _exit(9);
            seedrandom(seed);
            std::string a0 = "quillmar", a1 = "control.txt", a2 = std::to_string(type);
            char* argv[] = {&a0[0], &a1[0], &a2[0], nullptr};
            std::exit(quillmar_run(3, argv));
        },
        600);
    ASSERT_TRUE(r.exited) << "signal " << r.signal << "\n" << r.err;
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<std::pair<std::string, std::string>> got = {{"stdout", r.out}, {"stderr", r.err}};
    for (const char* name : kOutputs) {
        ASSERT_TRUE(fs::exists(fs::path(dir) / name)) << name;
        std::string text = read_file((fs::path(dir) / name).string());
        got.emplace_back(name, name == std::string("run.log") ? without_time(text) : text);
    }

    const fs::path expected = src / "expected";
    if (recording()) {
        fs::create_directories(expected);
        for (const auto& [name, text] : got) write_file((expected / name).string(), text);
        return;
    }
    for (const auto& [name, text] : got) {
        ASSERT_TRUE(fs::exists(expected / name)) << "no record of " << name;
        EXPECT_EQ(text, read_file((expected / name).string())) << GetParam() << ": " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, Golden, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
