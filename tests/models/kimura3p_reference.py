# Reference transition probabilities of KIMURA3P with R = 0.5, y = 2 at
# t = 7 and t = 60 PAM: the rate matrix built from its exchangeabilities
# (S_AG = 4R/(1+y), S_CT = y S_AG, all others 1; frequencies 0.25) in exact
# rationals, scaled to 0.01 expected changes per unit, then exp(Qt) by its
# Taylor series in 50-digit decimals. States A, C, G, T.
from decimal import Decimal, getcontext
from fractions import Fraction

getcontext().prec = 50
R, y = Fraction(1, 2), Fraction(2)
ag = 4 * R / (1 + y)
S = [[0 if i == j else 1 for j in range(4)] for i in range(4)]
S[0][2] = S[2][0] = ag
S[1][3] = S[3][1] = y * ag
f = [Fraction(1, 4)] * 4
Q = [[f[j] * S[i][j] for j in range(4)] for i in range(4)]
rate = sum(f[i] * sum(Q[i]) for i in range(4))
scale = Fraction(1, 100) / rate
for i in range(4):
    r = sum(Q[i])
    for j in range(4):
        Q[i][j] = -r * scale if i == j else Q[i][j] * scale


def expm(t):
    A = [[Decimal(q.numerator) / Decimal(q.denominator) * Decimal(t) for q in row] for row in Q]
    P = [[Decimal(int(i == j)) for j in range(4)] for i in range(4)]
    term = [row[:] for row in P]
    for k in range(1, 200):
        term = [[sum(term[i][m] * A[m][j] for m in range(4)) / k for j in range(4)]
                for i in range(4)]
        P = [[P[i][j] + term[i][j] for j in range(4)] for i in range(4)]
    return P


for t in (7, 60):
    for row in expm(t):
        print(t, " ".join("%.15f" % x for x in row))
