// Line and value parsing of the control file and the model keyword lookups.
#ifndef QUILLMAR_CONTROL_PARSER_H
#define QUILLMAR_CONTROL_PARSER_H

#include <list>
#include <string>
#include <vector>

#include "sequence/seqcode.h"

// Kind of an option value.
enum class option_arg : int { NONE = 0, DEFAULT, ESTIMATE, VALUE, VECTOR, INTERVAL, ALL };

// Option numbers per section; NONE means the key names no option.
enum class subst_option : int { NONE = 0, MODEL = 1, PARAMETER = 2, FREQS = 3 };
enum class indel_option : int { NONE = 0, MODEL = 1, PARAMETER = 2 };
enum class files_option : int {
    NONE = 0,
    INFILE = 1,
    GUIDETREE,
    OUTTREE,
    OUTALIGN,
    OUTPARAM,
    LOGFILE,
    FORMAT
};
enum class keep_option : int { NONE = 0, SUBSTMOD = 1, INDMOD = 2 };
enum class cool_option : int {
    NONE = 0,
    DELTA = 1,
    COOLALI,
    CTREE,
    CPARAM,
    ALPHATREE,
    ALPHAPARAM,
    BURNIN,
    MAXSTEPS,
    REPORTAFTER,
    RESAMPRANGE
};

// Section numbers: 1 SUBST, 2 INDEL, 3 FILES, 4 KEEP, 5 COOL; 0 no headline.
int isnewpart(std::string line);

// Option lines: when the line has its split character, value and kind are
// written (also for keys that name no option).
subst_option whichsubstoption(std::string line, std::string& value, option_arg& kind);
indel_option whichindeloption(std::string line, std::string& value, option_arg& kind);
files_option whichfilesoption(std::string line, std::string& value, option_arg& kind);
keep_option whichkeepoption(std::string line, std::string& value, option_arg& kind);
cool_option whichcooloption(std::string line, std::string& value, option_arg& kind);

// Key tests.
bool issubstmodel(std::string key);
bool issubstparameter(std::string key);
bool issubstfreqs(std::string key);
bool isindmodel(std::string key);
bool isindparameter(std::string key);
bool isinfile(std::string key);
bool isguidetree(std::string key);
bool isouttree(std::string key);
bool isoutalign(std::string key);
bool isoutparam(std::string key);
bool islogfile(std::string key);
bool isFormat(std::string key);
bool issubstmod(std::string key);
bool isindmod(std::string key);
bool isdelta(std::string key);
bool iscoolali(std::string key);
bool isctree(std::string key);
bool iscparam(std::string key);
bool isalphatree(std::string key);
bool isalphaparam(std::string key);
bool isburnin(std::string key);
bool ismaxsteps(std::string key);
bool isreportafter(std::string key);
bool isresamprange(std::string key);

// Case-blind substring test.
bool findanycase(std::string text, std::string word);

// Classifies a value; for VECTOR, INTERVAL and ALL the value becomes the
// text inside the brackets.
option_arg typ_of_arg(std::string& value);

// Comma-separated lists; the target's contents are replaced.
// Items scan as strtod reads them. Returns false when an item holds more
// than blanks after its number (its leading number is still taken).
bool stringtovector(std::string text, std::vector<double>& target);
// Items scan as a 32-bit "%lu": magnitudes above 4294967295 saturate,
// a leading minus wraps modulo 2^32. Returns false when an item holds more
// than blanks after its digits (its leading number is still taken).
bool stringtovector(std::string text, std::vector<unsigned long>& target);
// Items scan as a 32-bit "%d": values beyond the int range saturate.
// Returns false as the unsigned form does.
bool stringtolist(std::string text, std::list<int>& target);

std::string oatostring(option_arg kind);

// First run of printable, non-blank characters.
std::string firstword(std::string text);

subarch stringtosubarch(std::string value);
idarch stringtoidarch(std::string value);

// Single item scanners of the list scanners; false when nothing scans.
// whole tells whether only blanks follow the digits.
bool scan_double(const std::string& item, double& out, bool& whole);
bool scan_ulong32(const std::string& item, unsigned long& out, bool& whole);
bool scan_int32(const std::string& item, int& out, bool& whole);

#endif
