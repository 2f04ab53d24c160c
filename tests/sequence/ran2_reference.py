# Reference values for randomunitintervall, transcribed from
# the generator steps with 32-bit truncating arithmetic.
import ctypes, math
IM1, IM2 = 2147483563, 2147483399
AM = 1.0 / IM1
IMM1 = IM1 - 1
IA1, IA2, IQ1, IQ2, IR1, IR2 = 40014, 40692, 53668, 52774, 12211, 3791
NTAB = 32
NDIV = 1 + IMM1 // NTAB
RNMX = 1 - 1.2e-7

def tdiv(a, b):  # truncating division
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q

class Gen:
    def __init__(self, idum):
        self.idum, self.idum2, self.iy, self.iv = idum, 123456789, 0, [0] * NTAB
    def step(self, x, iq, ia, ir, im):
        k = tdiv(x, iq)
        x = ia * (x - k * iq) - k * ir
        if x < 0: x += im
        return x
    def draw(self):
        if self.idum <= 0:
            self.idum = -self.idum if -self.idum >= 1 else 1
            self.idum2 = self.idum
            for j in range(NTAB + 7, -1, -1):
                self.idum = self.step(self.idum, IQ1, IA1, IR1, IM1)
                if j < NTAB: self.iv[j] = self.idum
            self.iy = self.iv[0]
        self.idum = self.step(self.idum, IQ1, IA1, IR1, IM1)
        self.idum2 = self.step(self.idum2, IQ2, IA2, IR2, IM2)
        j = self.iy // NDIV
        self.iy = self.iv[j] - self.idum2
        self.iv[j] = self.idum
        if self.iy < 1: self.iy += IMM1
        t = AM * self.iy
        return min(t, RNMX)

for seed in [0, -1, -12345, -1804289383]:
    g = Gen(seed)
    out = []
    for i in range(5):
        u = g.draw()
        out.append((g.iy, u.hex(), repr(u)))
    print(seed, out)
g = Gen(0)
vals = [g.draw() for _ in range(1000)]
print("1000th", repr(vals[-1]), "sum", repr(math.fsum(vals)))
libc = ctypes.CDLL("libc.so.6")
for s in [1, 12345, 4242]:
    libc.srandom(s); print("rand after srandom", s, libc.rand(), libc.rand())
# rand_exp(2.0) from idum=-777: recursive definition
g = Gen(-777)
def rexp(rate):
    u = g.draw()
    if u > 0.99: return -math.log(u) / rate
    return rexp(rate) + (-math.log(0.99) / rate)
import sys; sys.setrecursionlimit(100000)
print("rand_exp", [repr(rexp(2.0)) for _ in range(3)])
