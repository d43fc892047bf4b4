// Tables of the bounded approximations: each entry is the double nearest to
// the value named (within a unit in the last place).
#include "core/BoundedMath.h"

namespace bounded {

// 2^(j/64)
const double kExp2Steps[64] = {
    0x1.0000000000000p+0, 0x1.02c9a3e778061p+0, 0x1.059b0d3158574p+0, 0x1.0874518759bc8p+0,
    0x1.0b5586cf9890fp+0, 0x1.0e3ec32d3d1a2p+0, 0x1.11301d0125b51p+0, 0x1.1429aaea92de0p+0,
    0x1.172b83c7d517bp+0, 0x1.1a35beb6fcb75p+0, 0x1.1d4873168b9aap+0, 0x1.2063b88628cd6p+0,
    0x1.2387a6e756238p+0, 0x1.26b4565e27cddp+0, 0x1.29e9df51fdee1p+0, 0x1.2d285a6e4030bp+0,
    0x1.306fe0a31b715p+0, 0x1.33c08b26416ffp+0, 0x1.371a7373aa9cbp+0, 0x1.3a7db34e59ff7p+0,
    0x1.3dea64c123422p+0, 0x1.4160a21f72e2ap+0, 0x1.44e086061892dp+0, 0x1.486a2b5c13cd0p+0,
    0x1.4bfdad5362a27p+0, 0x1.4f9b2769d2ca7p+0, 0x1.5342b569d4f82p+0, 0x1.56f4736b527dap+0,
    0x1.5ab07dd485429p+0, 0x1.5e76f15ad2148p+0, 0x1.6247eb03a5585p+0, 0x1.6623882552225p+0,
    0x1.6a09e667f3bcdp+0, 0x1.6dfb23c651a2fp+0, 0x1.71f75e8ec5f74p+0, 0x1.75feb564267c9p+0,
    0x1.7a11473eb0187p+0, 0x1.7e2f336cf4e62p+0, 0x1.82589994cce13p+0, 0x1.868d99b4492edp+0,
    0x1.8ace5422aa0dbp+0, 0x1.8f1ae99157736p+0, 0x1.93737b0cdc5e5p+0, 0x1.97d829fde4e50p+0,
    0x1.9c49182a3f090p+0, 0x1.a0c667b5de565p+0, 0x1.a5503b23e255dp+0, 0x1.a9e6b5579fdbfp+0,
    0x1.ae89f995ad3adp+0, 0x1.b33a2b84f15fbp+0, 0x1.b7f76f2fb5e47p+0, 0x1.bcc1e904bc1d2p+0,
    0x1.c199bdd85529cp+0, 0x1.c67f12e57d14bp+0, 0x1.cb720dcef9069p+0, 0x1.d072d4a07897cp+0,
    0x1.d5818dcfba487p+0, 0x1.da9e603db3285p+0, 0x1.dfc97337b9b5fp+0, 0x1.e502ee78b3ff6p+0,
    0x1.ea4afa2a490dap+0, 0x1.efa1bee615a27p+0, 0x1.f50765b6e4540p+0, 0x1.fa7c1819e90d8p+0,
};

// 1/c_i, c_i = 1 + (i + 1/2)/64 (the middle of the i-th 64th of [1, 2))
const double kLog2Inverses[64] = {
    0x1.fc07f01fc07f0p-1, 0x1.f44659e4a4271p-1, 0x1.ecc07b301ecc0p-1, 0x1.e573ac901e574p-1,
    0x1.de5d6e3f8868ap-1, 0x1.d77b654b82c34p-1, 0x1.d0cb58f6ec074p-1, 0x1.ca4b3055ee191p-1,
    0x1.c3f8f01c3f8f0p-1, 0x1.bdd2b899406f7p-1, 0x1.b7d6c3dda338bp-1, 0x1.b2036406c80d9p-1,
    0x1.ac5701ac5701bp-1, 0x1.a6d01a6d01a6dp-1, 0x1.a16d3f97a4b02p-1, 0x1.9c2d14ee4a102p-1,
    0x1.970e4f80cb872p-1, 0x1.920fb49d0e229p-1, 0x1.8d3018d3018d3p-1, 0x1.886e5f0abb04ap-1,
    0x1.83c977ab2beddp-1, 0x1.7f405fd017f40p-1, 0x1.7ad2208e0ecc3p-1, 0x1.767dce434a9b1p-1,
    0x1.724287f46debcp-1, 0x1.6e1f76b4337c7p-1, 0x1.6a13cd1537290p-1, 0x1.661ec6a5122f9p-1,
    0x1.623fa77016240p-1, 0x1.5e75bb8d015e7p-1, 0x1.5ac056b015ac0p-1, 0x1.571ed3c506b3ap-1,
    0x1.5390948f40febp-1, 0x1.5015015015015p-1, 0x1.4cab88725af6ep-1, 0x1.49539e3b2d067p-1,
    0x1.460cbc7f5cf9ap-1, 0x1.42d6625d51f87p-1, 0x1.3fb013fb013fbp-1, 0x1.3c995a47babe7p-1,
    0x1.3991c2c187f63p-1, 0x1.3698df3de0748p-1, 0x1.33ae45b57bcb2p-1, 0x1.30d190130d190p-1,
    0x1.2e025c04b8097p-1, 0x1.2b404ad012b40p-1, 0x1.288b01288b013p-1, 0x1.25e22708092f1p-1,
    0x1.23456789abcdfp-1, 0x1.20b470c67c0d9p-1, 0x1.1e2ef3b3fb874p-1, 0x1.1bb4a4046ed29p-1,
    0x1.19453808ca29cp-1, 0x1.16e0689427379p-1, 0x1.1485f0e0acd3bp-1, 0x1.12358e75d3033p-1,
    0x1.0fef010fef011p-1, 0x1.0db20a88f4696p-1, 0x1.0b7e6ec259dc8p-1, 0x1.0953f39010954p-1,
    0x1.073260a47f7c6p-1, 0x1.05197f7d73404p-1, 0x1.03091b51f5e1ap-1, 0x1.0101010101010p-1,
};

// log2(c_i) of the rounded inverses above: -log2(kLog2Inverses[i])
const double kLog2Steps[64] = {
    0x1.6fe50b6ef085dp-7, 0x1.11cd1d513341bp-5, 0x1.c4dfab90aab6ap-5, 0x1.3aa2fdd27f1bfp-4,
    0x1.918a16e46335ep-4, 0x1.e72ec117fa5adp-4, 0x1.1dcd197552b7dp-3, 0x1.476a9f983f74dp-3,
    0x1.70742d4ef0280p-3, 0x1.98edd077e70e1p-3, 0x1.c0db6cdd94defp-3, 0x1.e840be74e6a4dp-3,
    0x1.0790adbb03009p-2, 0x1.1ac05b291f070p-2, 0x1.2db10fc4d9aaep-2, 0x1.406463b1b0448p-2,
    0x1.52dbdfc4c96b5p-2, 0x1.6518fe4677ba6p-2, 0x1.771d2ba7efb3cp-2, 0x1.88e9c72e0b224p-2,
    0x1.9a802391e2330p-2, 0x1.abe18797f1f4ap-2, 0x1.bd0f2e9e79032p-2, 0x1.ce0a4923a587dp-2,
    0x1.ded3fd442364cp-2, 0x1.ef6d67328e220p-2, 0x1.ffd799a83ff9cp-2, 0x1.0809cf27f703dp-1,
    0x1.10113b153c8eap-1, 0x1.18028cf72976bp-1, 0x1.1fde3d30e8127p-1, 0x1.27a4c0585cbf7p-1,
    0x1.2f56875eb3f26p-1, 0x1.36f3ffb6d9162p-1, 0x1.3e7d9379f7017p-1, 0x1.45f3a98a20738p-1,
    0x1.4d56a5b33cec5p-1, 0x1.54a6e8ca5438ep-1, 0x1.5be4d0cb51435p-1, 0x1.6310b8f553049p-1,
    0x1.6a2af9e5a0f0bp-1, 0x1.7133e9b156c7bp-1, 0x1.782bdbfdda657p-1, 0x1.7f1322182cf16p-1,
    0x1.85ea0b0b27b26p-1, 0x1.8cb0e3b4b3bbep-1, 0x1.9367f6da0ab2dp-1, 0x1.9a0f8d3b0e050p-1,
    0x1.a0a7eda4c112dp-1, 0x1.a7315d02f20c7p-1, 0x1.adac1e711c833p-1, 0x1.b418734a9008cp-1,
    0x1.ba769b39e4964p-1, 0x1.c0c6d447c5dd3p-1, 0x1.c7095ae91e1c8p-1, 0x1.cd3e6a0ca8908p-1,
    0x1.d3663b27f31d5p-1, 0x1.d9810643d6614p-1, 0x1.df8f02086af2bp-1, 0x1.e59063c8822cep-1,
    0x1.eb855f8ca88fcp-1, 0x1.f16e281db7630p-1, 0x1.f74aef0efafafp-1, 0x1.fd1be4c7f2af9p-1,
};

// atan(k/16)
const double kAtanSteps[17] = {
    0x0.0p+0,
    0x1.ff55bb72cfdeap-5,
    0x1.fd5ba9aac2f6ep-4,
    0x1.7b97b4bce5b02p-3,
    0x1.f5b75f92c80ddp-3,
    0x1.362773707ebccp-2,
    0x1.6f61941e4def1p-2,
    0x1.a64eec3cc23fdp-2,
    0x1.dac670561bb4fp-2,
    0x1.0657e94db30d0p-1,
    0x1.1e00babdefeb4p-1,
    0x1.345f01cce37bbp-1,
    0x1.4978fa3269ee1p-1,
    0x1.5d58987169b18p-1,
    0x1.700a7c5784634p-1,
    0x1.819d0b7158a4dp-1,
    0x1.921fb54442d18p-1,
};

}  // namespace bounded
