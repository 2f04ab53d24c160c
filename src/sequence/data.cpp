#include "sequence/data.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iomanip>
#include <new>
#include <string>

#include "sequence/fatal.h"
#include "sequence/seqcode.h"

namespace {

inline bool printable(int c) { return std::isprint(static_cast<unsigned char>(c)) != 0; }
inline bool blank(int c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
inline char upper(int c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
inline bool letter(int c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// A read error (the file is a directory, for instance) is fatal.
void check_read(const std::istream& in) {
    if (in.bad()) fatal("Cannot read the sequence file\n");
}

void count_members(const dataset& d, std::vector<double>& freqs, int size) {
    freqs.assign(size, 0.0);
    std::vector<int> members;
    for (const auto& row : d.seqs) {
        for (char c : row) {
            if (size == 4) chartobase(c, members);
            else chartoamac(c, members);
            if (members.empty()) continue;
            const double share = 1.0 / static_cast<double>(members.size());
            for (int s : members) freqs[s] += share;
        }
    }
}

// A PHYLIP name as the data set holds it: blanks inside the name become
// '_', and the blanks and NUL fill after it are dropped.
void tidy_name(std::vector<char>& name) {
    int lastchar = -1;
    for (int i = 0; i < static_cast<int>(name.size()); ++i)
        if (printable(name[static_cast<size_t>(i)]) && !blank(name[static_cast<size_t>(i)]))
            lastchar = i;
    for (int i = 0; i < lastchar; ++i)
        if (blank(name[static_cast<size_t>(i)])) name[static_cast<size_t>(i)] = '_';
    size_t end = name.size();
    while (end > 0 && (name[end - 1] == '\0' || blank(name[end - 1]))) --end;
    name.resize(end);
}

// The residue as a row holds it: upper case, '-' as '_'.
inline char residue(int c) { return c == '-' ? '_' : upper(c); }

// Whether the record of this name gets its residues.
bool kept(const row_filter& keep, const std::vector<char>& name) { return !keep || keep(name); }

[[noreturn]] void fail_alloc() { fatal("Unable to allocate memory for the sequence file\n"); }

int next_char(std::istream& in) {
    const int c = in.get();
    if (c == EOF) check_read(in);
    return c;
}

// The counts of the PHYLIP header line; returns the character that ended it.
int read_header(std::istream& in, unsigned int& n, unsigned int& len) {
    std::string header;
    int c;
    while ((c = next_char(in)) != EOF && c != '\n') header.push_back(static_cast<char>(c));
    if (std::sscanf(header.c_str(), "%u %u", &n, &len) < 2)
        fatal("The sequence file is not in PHYLIP format\n");
    return c;
}

// What a row holds of its sequence. A name is complete before the first
// residue of its sequence arrives, so the filter is asked then. The first
// sequence's row is held while reading in any case, for the dots that copy
// from it.
enum class row_use : unsigned char { unasked, stored, counted };

// The PHYLIP data after the header line, one character at a time: n
// sequences of len residues in blocks of n lines that are not blank, the
// lines of the first block after a ten-column name. Rows and names grow as
// data arrives, never beyond what was read.
class phylip_reader {
public:
    phylip_reader(dataset& d, const row_filter& keep_rows, unsigned long count,
                  unsigned long length)
        : names(d.names), seqs(d.seqs), keep(keep_rows), n(count), len(length) {}

    // One character of the data.
    void take(int ch) {
        if (ch == '\n') {
            end_line();
            return;
        }
        if (printable(ch) && !blank(ch)) {
            begun = true;
            if (breaks == 0) fatal("Please remove text in the first line\n");
        }
        if (!begun) return;
        ++column;
        const unsigned long r = breaks - blanks;
        if (column <= 10 && r < n) {
            grow(r);
            names[r][column - 1] = static_cast<char>(ch);
            return;
        }
        const unsigned long s = r % n;
        grow(s);
        if (pos[s] >= len) return;
        if (letter(ch) || ch == '-' || ch == '_' || ch == '*' || ch == '?') {
            store(s, residue(ch));
        } else if (ch == '.') {
            if (s == 0) fatal("Error in Phylip file: dot in the first sequence\n");
            store(s, position(0) > pos[s] ? seqs[0][pos[s]] : '\0');
        }
    }

    // The last sequence holds len residues.
    bool complete() const { return position(n - 1) >= len; }

    // Every row now holds len characters, except a single sequence, which
    // keeps what was read: it cannot be aligned, and a header length far
    // beyond the data is not worth allocating. The names are tidied.
    void finish() {
        // Sequences not yet seen hold 0 characters. The pair (present-1,
        // present) decides the outcome, or (0, 1) when no data line came.
        for (unsigned long p = 0; p + 1 < n && p <= pos.size(); ++p) {
            check_pair(p);
            if (position(p) < len || position(p + 1) < len)
                fatal("Something's wrong.\n", "Not enough nucleotides in the sequence\n", p + 1,
                      " or ", p + 2, "\n");
        }
        // Sequences never seen have NUL names and empty rows (possible only
        // with len = 0). Two of them are duplicates, so at most two need to
        // exist for the duplicate test to find the same first pair.
        grow(std::min<unsigned long>(n - 1, pos.size() + 1));
        for (auto& name : names) tidy_name(name);
        if (!kept(keep, names[0])) std::vector<char>().swap(seqs[0]);
    }

private:
    void end_line() {
        if (!begun) ++blanks;
        ++breaks;
        column = 0;
        begun = false;
        // Positions of sequences not yet seen are 0, so the pairs beyond the
        // last seen sequence need no visit.
        if ((breaks - blanks) % n == 0)
            for (unsigned long p = 0; p + 1 < n && p < pos.size(); ++p) check_pair(p);
    }

    void check_pair(unsigned long p) const {
        if (position(p) != position(p + 1))
            fatal("Something's wrong\n", "Position[", p, "]=", position(p), " != Position[", p + 1,
                  "]=", position(p + 1), "\n");
    }

    unsigned long position(unsigned long s) const { return s < pos.size() ? pos[s] : 0; }

    // Sequences up to r exist.
    void grow(unsigned long r) {
        try {
            while (seqs.size() <= r) {
                seqs.emplace_back();
                names.emplace_back(10, '\0');
                pos.push_back(0);
                use.push_back(row_use::unasked);
            }
        } catch (const std::bad_alloc&) {
            fail_alloc();
        }
    }

    bool wanted(unsigned long s) {
        if (use[s] == row_use::unasked) {
            std::vector<char> name = names[s];
            tidy_name(name);
            use[s] = s == 0 || kept(keep, name) ? row_use::stored : row_use::counted;
        }
        return use[s] == row_use::stored;
    }

    void store(unsigned long s, char ch) {
        if (wanted(s)) {
            auto& row = seqs[s];
            try {
                if (row.size() <= pos[s]) row.resize(pos[s] + 1, '\0');
            } catch (const std::bad_alloc&) {
                fail_alloc();
            }
            row[pos[s]] = ch;
        }
        ++pos[s];
    }

    std::vector<std::vector<char>>& names;
    std::vector<std::vector<char>>& seqs;
    const row_filter& keep;
    const unsigned long n;
    const unsigned long len;
    std::vector<unsigned long> pos;
    std::vector<row_use> use;
    unsigned long breaks = 0;
    unsigned long blanks = 0;
    unsigned long column = 0;
    bool begun = false;
};

}  // namespace

void require_format(int format) {
    if (format != 0 && format != 1) fatal("Format ", format, " not supported\n");
}

dataset::dataset(std::ifstream& in, int format, const row_filter& keep) {
    require_format(format);
    if (format == 0) fromfasta(in, keep);
    else fromphylip(in, keep);
    in.close();
}

dataset::dataset(std::ifstream& in, int format) : dataset(in, format, nullptr) { guesstype(); }

void dataset::fromfasta(std::istream& in, const row_filter& keep) {
    enum { BEFORE, HEADER, RESIDUES } state = BEFORE;
    bool naming = false;
    bool wanted = true;
    names.clear();
    seqs.clear();
    auto take = [&](char c) {
        if (c == '>') {
            names.emplace_back();
            seqs.emplace_back();
            state = HEADER;
            naming = true;
            return;
        }
        switch (state) {
        case BEFORE: fatal("The sequence file is not in FASTA format!\n");
        case HEADER:
            if (c == '\n') {
                state = RESIDUES;
                wanted = kept(keep, names.back());
            } else if (printable(c) && !blank(c)) {
                if (naming) names.back().push_back(c);
            } else if (!names.back().empty()) {
                naming = false;
            }
            break;
        case RESIDUES:
            if (wanted && printable(c) && !blank(c)) seqs.back().push_back(residue(c));
            break;
        }
    };
    std::vector<char> buf(1 << 16);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
        const std::streamsize got = in.gcount();
        for (std::streamsize k = 0; k < got; ++k) take(buf[static_cast<size_t>(k)]);
    }
    check_read(in);
    if (names.empty()) fatal("There is no data!\n");
    for (const auto& n : names)
        if (n.empty()) fatal("There are sequences without names!\n");
}

void dataset::fromphylip(std::istream& in, const row_filter& keep) {
    names.clear();
    seqs.clear();
    unsigned int n = 0, len = 0;
    // The scan begins with the character that ended the header line.
    int ch = read_header(in, n, len);
    if (n == 0) return;
    phylip_reader reader(*this, keep, n, len);
    while (ch != EOF) {
        reader.take(ch);
        if (reader.complete()) break;
        ch = next_char(in);
    }
    reader.finish();
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j)
            if (names[i] == names[j])
                fatal("Sequences ", i + 1, " and ", j + 1, " have the same name\n");
}

int dataset::laen(int i) const {
    if (static_cast<unsigned>(i) >= seqs.size())
        fatal("The specified sequence number is too big.\n", "s=", i, "There are only ",
              seqs.size(), " in the data set.\n", "Their numbering starts with 0.\n");
    return static_cast<int>(seqs[i].size());
}

void dataset::guesstype() {
    bool has_u = false, has_aa = false;
    for (const auto& row : seqs) {
        for (char c : row) {
            switch (c) {
            case 'U': has_u = true; break;
            case 'E':
            case 'F':
            case 'I':
            case 'L':
            case 'P':
            case 'Q':
            case 'X':
            case 'Z': has_aa = true; break;
            default: break;
            }
        }
    }
    if (has_u && has_aa)
        fatal("Don't know what to do: there are U's in\n", "an amino acid sequence\n");
    type = has_aa ? 20 : 4;
}

void dataset::getfreqs(std::vector<double>& freqs) const {
    if (type == 4) getACGT(freqs);
    else if (type == 20) getAAfreqs(freqs);
    else fatal("Unknown data type in function getfreqs\n");
}

void dataset::getACGT(std::vector<double>& freqs) const { count_members(*this, freqs, 4); }
void dataset::getAAfreqs(std::vector<double>& freqs) const { count_members(*this, freqs, 20); }

void dataset::print_phylip(std::ostream& out) {
    const int n = spez();
    const int len = laen(0);
    out << std::setw(10) << n << std::setw(10) << len << "\n";
    for (int i = 0; i < n; ++i) {
        auto& row = seqs[i];
        const size_t upto = std::min(row.size(), static_cast<size_t>(len));
        for (size_t k = 0; k < upto; ++k)
            if (row[k] == '_') row[k] = '-';
        std::string name(names[i].begin(),
                         names[i].begin() + std::min<size_t>(10, names[i].size()));
        name.resize(10, ' ');
        out << name;
        out.write(row.data(), static_cast<std::streamsize>(row.size()));
        out << "\n";
    }
}

void dataset::print_screen(std::ostream& out) const {
    const size_t n = seqs.size();
    // An empty data set ends the run with the message of laen.
    const size_t len = static_cast<size_t>(laen(0));
    std::vector<std::string> buffers(n);
    for (size_t col = 0; col < len; ++col) {
        for (size_t i = 0; i < n; ++i)
            if (col < seqs[i].size()) buffers[i].push_back(seqs[i][col]);
        if ((col + 1) % 70 == 0) {
            for (auto& b : buffers) {
                out << b << "\n";
                b.clear();
            }
            out << "\n";
        }
    }
    if (!buffers[0].empty()) {
        for (auto& b : buffers) out << b << "\n";
        out << "\n";
    }
}

std::ostream& operator<<(std::ostream& out, const std::vector<char>& chars) {
    out.write(chars.data(), static_cast<std::streamsize>(chars.size()));
    return out;
}

bioseq::bioseq(const std::vector<char>& row, int size) {
    reserve(row.size());
    for (char c : row) {
        if (c == '_' || c == '-') continue;
        if (size == 4) push_back(chartobase(c));
        else if (size == 20) push_back(chartoamac(c));
        else fatal("Unknown data typ in function bioseq(vector<char>& seq, alphsize typ)\n");
    }
}
