// State codes of the nucleotide and amino-acid alphabets and the model kinds.
#ifndef QUILLMAR_SEQUENCE_SEQCODE_H
#define QUILLMAR_SEQUENCE_SEQCODE_H

#include <vector>

enum alphsize : int { NUC = 4, AA = 20 };

enum subarch : int {
    GENREV = 0,
    TAMNEI,
    HKY,
    KIMURA2P,
    KIMURA3P,
    FEL81,
    JC69,
    MV2000,
    JTT,
    DAYHOFF,
    MTREV24,
    BLOSUM62,
    SH94
};

enum idarch : int { TKF1 = 0, TKF2, FID };

int whichbase(char c, int size);
int chartobase(char c);
int chartoamac(char c);
char state_to_char(int code, alphsize size);
char basetochar(int code);
char amactochar(int code);
void chartobase(char c, std::vector<int>& members);
void chartoamac(char c, std::vector<int>& members);
void whichwildcard(int code, std::vector<bool>& mask);
int alftologalf(int size);

// Lookups that the program does not call.
void whichwc(char c, std::vector<int>& members, int size);
void whichbase(std::vector<bool>& mask, char c);

// Member states of a code as a bit mask (bit s set for member s); 0 for
// codes outside the alphabet.
unsigned members_mask(int code, int size);

#endif
