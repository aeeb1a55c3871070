// The stub multiplies only small numbers: a curve's field elements are 4 to
// 9 limbs (twice that on 32-bit machines), an RSA modulus at most 256.
// Nettle's arithmetic calls GMP's mpn_mul_n, mpn_sqr and mpn_mul, whose
// objects reach every algorithm GMP has for large operands (Toom-Cook up
// to 8 ways, FFT), some 100 KB of every package that never pay off at
// these sizes. The stub defines the three itself as GMP's schoolbook
// multiplication, which is exact for operands of any size.
//
// Likewise for the two number-theoretic calls Nettle makes: mpz_powm (RSA's
// public operation) and mpz_congruent_p (ECDSA's is-on-the-curve test)
// bring GMP's division and inversion algorithms for huge numbers, and with
// them its FFT. The stub routes them to GMP's mpz_powm_sec and
// mpn_sec_div_r, which use only the schoolbook routines. mpz_powm_sec
// takes odd moduli and positive exponents only: the signature parser
// refuses RSA keys whose modulus or exponent is even, and Nettle makes no
// other call.
//
// What is left of those algorithms is reached only above sizes the stub
// never has: mpz_powm_sec inverts two limbs (mpn_binvert), which turns to
// Newton's iteration and the FFT only for hundreds of limbs, and
// mpn_mullo_n to Nussbaumer's multiplication for thousands. The stub
// defines the FFT's entry points and Nussbaumer's as an abort, so that a
// size it was never meant for stops it rather than pulling 24 KB into
// every package. And
// Nettle asks mpz_sizeinbase only for the bit length (base 2), which needs
// none of GMP's 10 KB table of other bases. The tests and fuzz targets
// link GMP's own.
#include <gmp.h>

#include <bit>
#include <cstdlib>

extern "C" {

// Part of GMP's mpn layer, declared in its internal header only.
void __gmpn_mul_basecase(mp_limb_t* rp, const mp_limb_t* up, mp_size_t un, const mp_limb_t* vp, mp_size_t vn);

void __gmpn_mul_n(mp_limb_t* rp, const mp_limb_t* up, const mp_limb_t* vp, mp_size_t n) {
  __gmpn_mul_basecase(rp, up, n, vp, n);
}

void __gmpn_sqr(mp_limb_t* rp, const mp_limb_t* up, mp_size_t n) { __gmpn_mul_basecase(rp, up, n, up, n); }

// un >= vn >= 1, as for mpn_mul_basecase; returns the product's top limb.
mp_limb_t __gmpn_mul(mp_limb_t* rp, const mp_limb_t* up, mp_size_t un, const mp_limb_t* vp, mp_size_t vn) {
  __gmpn_mul_basecase(rp, up, un, vp, vn);
  return rp[un + vn - 1];
}

int __gmpn_fft_best_k(mp_size_t, int) { std::abort(); }

mp_size_t __gmpn_fft_next_size(mp_size_t, int) { std::abort(); }

mp_limb_t __gmpn_mul_fft(mp_limb_t*, mp_size_t, const mp_limb_t*, mp_size_t, const mp_limb_t*, mp_size_t, int) {
  std::abort();
}

void __gmpn_nussbaumer_mul(mp_limb_t*, const mp_limb_t*, mp_size_t, const mp_limb_t*, mp_size_t) { std::abort(); }

// The digits of x in base, for the bases that are powers of two: 1 for zero.
std::size_t __gmpz_sizeinbase(mpz_srcptr x, int base) {
  const int bits_per_digit = std::countr_zero(static_cast<unsigned>(base));
  if (base < 2 || base != 1 << bits_per_digit) std::abort();
  const std::size_t limbs = mpz_size(x);
  if (limbs == 0) return 1;
  const std::size_t bits =
      (limbs - 1) * GMP_NUMB_BITS + std::bit_width(static_cast<mp_limb_t>(mpz_getlimbn(x, limbs - 1)));
  return (bits + bits_per_digit - 1) / bits_per_digit;
}

void __gmpz_powm(mpz_ptr r, mpz_srcptr b, mpz_srcptr e, mpz_srcptr m) { mpz_powm_sec(r, b, e, m); }

// a = c (mod d): d divides a - c, or with d zero, a equals c.
int __gmpz_congruent_p(mpz_srcptr a, mpz_srcptr c, mpz_srcptr d) {
  mpz_t x;
  mpz_init(x);
  mpz_sub(x, a, c);
  const mp_size_t xn = static_cast<mp_size_t>(mpz_size(x)), dn = static_cast<mp_size_t>(mpz_size(d));
  // Shorter than a nonzero d, x is divisible only when it is zero.
  int congruent = xn == 0;
  if (dn != 0 && xn >= dn) {
    auto* scratch = static_cast<mp_limb_t*>(std::malloc(mpn_sec_div_r_itch(xn, dn) * sizeof(mp_limb_t)));
    if (scratch == nullptr) std::abort();
    mp_limb_t* xp = mpz_limbs_modify(x, xn);
    mpn_sec_div_r(xp, xn, mpz_limbs_read(d), dn, scratch);
    congruent = mpn_zero_p(xp, dn);
    std::free(scratch);
  }
  mpz_clear(x);
  return congruent;
}
}
