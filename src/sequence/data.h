// Data sets of named sequences, their readers and writers, coded sequences.
#ifndef QUILLMAR_SEQUENCE_DATA_H
#define QUILLMAR_SEQUENCE_DATA_H

#include <fstream>
#include <functional>
#include <istream>
#include <ostream>
#include <vector>

// Whether the residues of a record are wanted, asked once per record with
// its name as the data set will hold it.
using row_filter = std::function<bool(const std::vector<char>& name)>;

class dataset {
public:
    std::vector<std::vector<char>> names;
    std::vector<std::vector<char>> seqs;
    int type = 0;

    dataset() = default;
    // Reads format 0 (FASTA) or 1 (PHYLIP), closes the stream, guesses the type.
    dataset(std::ifstream& in, int format);
    // The same, but only the records that keep accepts get their residues;
    // every other record holds its name and an empty row, and the file is
    // checked as a whole all the same. The type is left to the caller.
    dataset(std::ifstream& in, int format, const row_filter& keep);
    dataset(const dataset&) = default;
    dataset& operator=(const dataset&) = default;
    ~dataset() = default;

    // An empty filter keeps every row.
    void fromfasta(std::istream& in, const row_filter& keep = nullptr);
    void fromphylip(std::istream& in, const row_filter& keep = nullptr);

    int spez() const { return static_cast<int>(names.size()); }
    int laen(int i) const;
    void guesstype();
    void getfreqs(std::vector<double>& freqs) const;
    void getACGT(std::vector<double>& freqs) const;
    void getAAfreqs(std::vector<double>& freqs) const;
    void print_phylip(std::ostream& out);
    void print_screen(std::ostream& out) const;
};

std::ostream& operator<<(std::ostream& out, const std::vector<char>& chars);

// Ends the run unless there is a reader for the format: 0 or 1.
void require_format(int format);

class bioseq : public std::vector<int> {
public:
    bioseq() = default;
    bioseq(const std::vector<char>& row, int size);
    bioseq(const bioseq&) = default;
    bioseq& operator=(const bioseq&) = default;
    ~bioseq() = default;
    int laen() const { return static_cast<int>(size()); }
};

#endif
