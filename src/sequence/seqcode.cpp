#include "sequence/seqcode.h"

#include <array>

#include "sequence/fatal.h"

namespace {

const char kBaseLetters[] = "ACGTRYMWSKBDHVN";
const char kAmacLetters[] = "ARNDCQEGHILKMFPSTWYVBZX";

// Member masks by code.
constexpr std::array<unsigned, 15> kBaseMembers = {0x1, 0x2, 0x4, 0x8,        // A C G T
                                                   0x5, 0xA, 0x3, 0x9,        // R Y M W
                                                   0x6, 0xC,                  // S K
                                                   0xE, 0xD, 0xB, 0x7, 0xF};  // B D H V N

constexpr unsigned kAllAmac = (1u << 20) - 1;

struct LetterTables {
    std::array<int, 256> base;
    std::array<int, 256> amac;
    LetterTables() {
        base.fill(-1);
        amac.fill(-1);
        for (int i = 0; i < 15; ++i) base[static_cast<unsigned char>(kBaseLetters[i])] = i;
        base[static_cast<unsigned char>('U')] = 3;
        for (int i = 0; i < 23; ++i) amac[static_cast<unsigned char>(kAmacLetters[i])] = i;
    }
};

const LetterTables& tables() {
    static const LetterTables t;
    return t;
}

int base_code(char c) { return tables().base[static_cast<unsigned char>(c)]; }
int amac_code(char c) { return tables().amac[static_cast<unsigned char>(c)]; }

unsigned amac_members(int code) {
    if (code >= 0 && code < 20) return 1u << code;
    if (code == 20) return (1u << 2) | (1u << 3);
    if (code == 21) return (1u << 5) | (1u << 6);
    if (code == 22) return kAllAmac;
    return 0;
}

void mask_to_list(unsigned mask, std::vector<int>& members) {
    members.clear();
    for (int s = 0; mask; ++s, mask >>= 1)
        if (mask & 1u) members.push_back(s);
}

}  // namespace

unsigned members_mask(int code, int size) {
    if (size == 4) return (code >= 0 && code < 15) ? kBaseMembers[code] : 0u;
    if (size == 20) return amac_members(code);
    return 0u;
}

int whichbase(char c, int size) {
    if (size == 4) return chartobase(c);
    if (size == 20) return chartoamac(c);
    fatal("Unknown alphabet ", size, " in function whichbase\n");
}

int chartobase(char c) {
    int code = base_code(c);
    if (code < 0) fatal("Unknown symbol for base: ", c, " in function chartobase", "\n");
    return code;
}

int chartoamac(char c) {
    int code = amac_code(c);
    if (code < 0) fatal("Unknown symbol for amino acid: ", c, " in function chartoamac", "\n");
    return code;
}

char state_to_char(int code, alphsize size) {
    if (size == 4) return basetochar(code);
    if (size == 20) return amactochar(code);
    fatal("Unknown alphabet ", static_cast<int>(size), " in function state_to_char\n");
}

char basetochar(int code) {
    if (code < 0 || code > 14) fatal("Unknown base ", code, " in function basetochar\n");
    return kBaseLetters[code];
}

char amactochar(int code) {
    if (code < 0 || code > 22) fatal("Unknown amino acid ", code, " in function amactochar\n");
    return kAmacLetters[code];
}

void chartobase(char c, std::vector<int>& members) {
    int code = base_code(c);
    mask_to_list(code < 0 ? 0u : kBaseMembers[code], members);
}

void chartoamac(char c, std::vector<int>& members) {
    int code = amac_code(c);
    mask_to_list(code < 0 ? 0u : amac_members(code), members);
}

void whichwildcard(int code, std::vector<bool>& mask) {
    const size_t size = mask.size();
    if (size == 4) {
        if (code < 0 || code > 14) fatal("Unknown base ", code, " in function whichwildcard", "\n");
    } else if (size == 20) {
        if (code < 0 || code > 22)
            fatal("Unknown amino acid: ", code, " in function whichwildcard", "\n");
    } else {
        fatal("Unknown alphabet in function whichwildcard\n");
    }
    const unsigned m = members_mask(code, static_cast<int>(size));
    for (size_t s = 0; s < size; ++s) mask[s] = (m & (1u << s)) != 0;
}

int alftologalf(int size) {
    if (size == 4) return 15;
    if (size == 20) return 23;
    fatal("Unknown alphabet ", size, "\n");
}

void whichwc(char c, std::vector<int>& members, int size) {
    if (size == 4) {
        int code = (c == 'U') ? -1 : base_code(c);
        if (code < 0) fatal("Unknown base ", c, " in function whichwc", "\n");
        mask_to_list(kBaseMembers[code], members);
    } else if (size == 20) {
        int code = amac_code(c);
        if (code < 0) fatal("Unknown amino acid: ", c, " in function whichwc", "\n");
        if (code == 20) members = {3, 2};
        else if (code == 21) members = {6, 5};
        else mask_to_list(amac_members(code), members);
    } else {
        fatal("Unknown alphabet in function whichwc\n");
    }
}

void whichbase(std::vector<bool>& mask, char c) {
    std::vector<int> members;
    whichwc(c, members, static_cast<int>(mask.size()));
    for (size_t s = 0; s < mask.size(); ++s) mask[s] = false;
    for (int s : members) mask[s] = true;
}
