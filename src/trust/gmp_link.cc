// The stub multiplies only small numbers: a curve's field elements are 4 to
// 9 limbs (twice that on 32-bit machines), an RSA modulus at most 256.
// Nettle's arithmetic calls GMP's mpn_mul_n, mpn_sqr and mpn_mul, whose
// objects reach every algorithm GMP has for large operands (Toom-Cook up
// to 8 ways, FFT), some 100 KB of every package that never pay off at
// these sizes. The stub defines the three itself as GMP's schoolbook
// multiplication, which is exact for operands of any size.
//
// Likewise mpz_powm, RSA's public operation, brings GMP's division and
// inversion algorithms for huge numbers, and with them its FFT. The stub
// routes it to GMP's mpz_powm_sec, which uses only the schoolbook routines.
// mpz_powm_sec takes odd moduli and positive exponents only: the signature
// parser refuses RSA keys whose modulus or exponent is even, and Nettle
// makes no other call.
//
// What is left of those algorithms is reached only above sizes the stub
// never has: mpz_powm_sec inverts two limbs (mpn_binvert), which turns to
// Newton's iteration and the FFT only for hundreds of limbs, and
// mpn_mullo_n to Nussbaumer's multiplication for thousands. The stub
// defines the FFT's entry points and Nussbaumer's as an abort, so that a
// size it was never meant for stops it rather than pulling 24 KB into
// every package. Every other GMP call is GMP's own. The tests and fuzz
// targets link GMP's own throughout.
#include <gmp.h>

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

void __gmpz_powm(mpz_ptr r, mpz_srcptr b, mpz_srcptr e, mpz_srcptr m) { mpz_powm_sec(r, b, e, m); }
}
