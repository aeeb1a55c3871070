// The stub multiplies only small numbers: Ed25519's field elements are 4
// limbs (8 on 32-bit machines). Nettle's curve arithmetic calls GMP's
// mpn_mul_n and mpn_sqr, whose objects reach every algorithm GMP has for
// large operands (Toom-Cook up to 8 ways, FFT), some 100 KB of every
// package that never run at these sizes: below GMP's thresholds they end
// in the schoolbook multiplication anyway. The stub defines the two itself
// as that same GMP routine, which is exact for operands of any size. The
// tests and fuzz targets link GMP's own.
#include <gmp.h>

extern "C" {

// Part of GMP's mpn layer, declared in its internal header only.
void __gmpn_mul_basecase(mp_limb_t* rp, const mp_limb_t* up, mp_size_t un, const mp_limb_t* vp, mp_size_t vn);

void __gmpn_mul_n(mp_limb_t* rp, const mp_limb_t* up, const mp_limb_t* vp, mp_size_t n) {
  __gmpn_mul_basecase(rp, up, n, vp, n);
}

void __gmpn_sqr(mp_limb_t* rp, const mp_limb_t* up, mp_size_t n) { __gmpn_mul_basecase(rp, up, n, up, n); }
}
