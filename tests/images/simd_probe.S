// An object that does use an SSE register: the SMM SIMD check must reject it.
    .text
    .globl SimdProbe
SimdProbe:
    movaps  %xmm0, %xmm1
    ret
