// Phylogenetic trees: nodes and branches, the guide-tree reader, the Newick
// writer, constrained neighbour joining, re-rooting, fusion and resolution of
// nodes, swaps, branch-length proposals and column subtrees.
#ifndef QUILLMAR_TREE_TREESPEC_H
#define QUILLMAR_TREE_TREESPEC_H

#include <fstream>
#include <istream>
#include <ostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "sequence/data.h"

class baum;

// The deepest level of a node that the guide-tree reader accepts (the root
// is level 0). Re-rooting at a leaf can double the height, and the recursive
// operations on trees must stay within a default call stack of 8 MB.
constexpr unsigned max_guide_depth = 1000;

// A node's name, its Newick text and its number (data-set row for a leaf).
class identifier {
public:
    std::string name;
    std::string text;
    int number = -1;

    identifier() = default;
    identifier(const identifier& other) = default;
    identifier(identifier&& other) = default;
    identifier operator=(identifier other);
    // Compares names only.
    bool operator==(const identifier& other) const;
    // number := the index of the one name in the data set equal to name.
    void setnumber(std::vector<std::vector<char>> names);
};

// One half of a branch, seen from its near node.
class neighbor {
public:
    double brl = 0.0;
    bool fixed = false;
    bool isparent = false;
    baum* node = nullptr;
    std::vector<int> posmap;

    neighbor() = default;
    neighbor(const neighbor& other) = default;
    neighbor(neighbor&& other) = default;
    neighbor operator=(neighbor other);
    // Copies everything but the position map.
    neighbor operator<=(neighbor other);
};

// The guide-tree file's text up to the first ';' outside comments, without
// comments, blanks and non-printing characters.
class clustal : public std::string {
public:
    explicit clustal(const char* filename);
    explicit clustal(std::ifstream& in);
    ~clustal();
};

// How the reading of a guide-tree file ended.
enum class guide_read { ok, cannot_open, cannot_read, unreadable, no_semicolon };

// The guide-tree text of a file as clustal reads it; on a fault, an empty
// text and the fault, with nothing reported.
guide_read read_guide_file(const char* filename, std::string& text);

// The same, true where the text was read.
bool read_guide_text(const char* filename, std::string& text);

// Ends the run with clustal's message for a fault of reading the file;
// returns for ok.
void check_guide_read(guide_read r, const char* filename);

// The names of the leaves of a guide-tree text, read as the tree is read;
// false, with nothing reported and no names, where the text does not read
// as a tree.
bool guide_leaf_names(const std::string& text, std::unordered_set<std::string>& names);

// One level of a Newick text.
class Newick {
public:
    std::string label;
    double length = 0.1;
    bool leaf = false;
    std::vector<std::string> subtexts;

    explicit Newick(std::string text);
    void desc_lab_len(std::string text);
    void subtrees();
};

// A tree node; through its root, a tree. A node owns the nodes of its
// records that are not flagged isparent.
class baum {
public:
    identifier id;
    std::vector<neighbor> neighbors;
    bioseq seq;

    explicit baum(const identifier& x);
    // Deep copy of the subtree below src, rooted at the copy of src.
    baum(const baum& src);
    // The same without sequences and position maps; topologyonly must be true.
    baum(const baum& src, bool topologyonly);
    // Guide-tree constructors; isroot is true for the whole tree. The leaves
    // are matched by name to the rows of a data set and get their coded rows.
    baum(std::string text, bool isroot, dataset& ds);
    // The same match to the names of a data set's rows, with the same checks
    // in the same order, but no row is coded: the leaves' sequences stay empty.
    baum(std::string text, bool isroot, const std::vector<std::vector<char>>& names);
    baum(std::string text, bool isroot);
    // Star tree over all sequences of a data set.
    explicit baum(dataset& ds);
    ~baum();

    baum& operator=(const baum&) = delete;
    baum(baum&&) = delete;
    baum& operator=(baum&&) = delete;

    // Queries.
    baum* NB(int i) const;
    int whichone(const baum* T) const;
    baum* parent() const;
    baum* root();
    bool isLeaf() const;
    bool isRoot() const;
    unsigned numleaves() const;
    int size() const;
    double laenge() const;
    int depth() const;
    double aprxspan() const;
    double aprxheight() const;
    double opt_delta() const;
    void setid(const identifier& x);
    baum* findLeaf(const identifier& x);
    std::string clustname();
    // Topological equality of the two whole trees (draws random numbers).
    bool operator==(baum& other);

    // Newick writer.
    std::ostream& print(std::ostream& os);
    void update_tree();

    // Constrained neighbour joining, called on the root leaf.
    void NeighborJoining(std::vector<std::vector<double>>& D, unsigned& n);

    // Re-rooting, fusion and resolution.
    baum* pickrandleaf();
    baum* reroot();
    unsigned reroot(baum* from);
    void fusenodes();
    unsigned fuseblindnodes(bool makeroot);
    void splitnode();
    unsigned bifurcate(bool makeroot);
    int allebisauf(std::vector<int>& v, unsigned n, int k);

    // Swaps, branch-length proposals, enumeration.
    void swapbr(int a, int b, int c);
    double rndbrl(double x, double d, bool fixed);
    double shiftnodes(double d, int i);
    double shiftnodes(double d, int i, bool keepsign);
    int rndchild(int i);
    unsigned edges(std::vector<baum*>& nodes, std::vector<unsigned>& idx);
    unsigned internaledges(std::vector<baum*>& nodes, std::vector<unsigned>& idx);
    unsigned intnodes(std::vector<baum*>& nodes);

    // Column subtrees.
    baum* teilbaum(const std::vector<std::string>& names, const std::vector<char>& column);
    baum* abuse_fix(const std::vector<std::string>& names, const std::vector<char>& column);
    void findnames(baum*& first, std::vector<bool>& present, const std::vector<std::string>& names,
                   std::vector<bool>& found);
    bool post_order_abuse_fix(std::vector<bool>& present);
    void trim();

private:
    void copy_children(const baum& src, bool topologyonly);
    void build(const std::string& text, bool isroot, const std::vector<std::vector<char>>* names,
               const dataset* rows);
    void check_read_tree() const;
    void nj_check(const std::vector<std::vector<double>>& D, std::vector<char>& seen) const;
    void nj_resolve(std::vector<std::vector<double>>& D, unsigned& n);
    void edges_walk(std::vector<baum*>& nodes, std::vector<unsigned>& idx);
};

#endif
