/* Forwarding functions of the host entry points, x86-64 System V.
 *
 * Each forwarder loads its slot of the entry-point table and, when it is
 * filled, tail-jumps to the host function with every argument register and
 * the stack untouched: one load, one test and one jump, whatever the
 * function's signature (variadic calls included, %al is preserved).
 * An empty slot takes the shared slow path, which saves the argument
 * registers, resolves the slot and jumps on, or returns a zero result when
 * the host has no such function. */

#if defined(__CET__)
#define KOR_ENDBR endbr64
#else
#define KOR_ENDBR
#endif

    .text
    .hidden kor_binding_slots
    .hidden kor_binding_resolve
    .hidden kor_binding_slow_path

    .p2align 4
    .type kor_binding_slow_path, @function
kor_binding_slow_path:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $192, %rsp
    movq %rdi, 0(%rsp)
    movq %rsi, 8(%rsp)
    movq %rdx, 16(%rsp)
    movq %rcx, 24(%rsp)
    movq %r8, 32(%rsp)
    movq %r9, 40(%rsp)
    movq %rax, 48(%rsp)
    movq %r10, 56(%rsp)
    movaps %xmm0, 64(%rsp)
    movaps %xmm1, 80(%rsp)
    movaps %xmm2, 96(%rsp)
    movaps %xmm3, 112(%rsp)
    movaps %xmm4, 128(%rsp)
    movaps %xmm5, 144(%rsp)
    movaps %xmm6, 160(%rsp)
    movaps %xmm7, 176(%rsp)
    movl %r11d, %edi
    call kor_binding_resolve
    movq %rax, %r11
    movq 0(%rsp), %rdi
    movq 8(%rsp), %rsi
    movq 16(%rsp), %rdx
    movq 24(%rsp), %rcx
    movq 32(%rsp), %r8
    movq 40(%rsp), %r9
    movq 48(%rsp), %rax
    movq 56(%rsp), %r10
    movaps 64(%rsp), %xmm0
    movaps 80(%rsp), %xmm1
    movaps 96(%rsp), %xmm2
    movaps 112(%rsp), %xmm3
    movaps 128(%rsp), %xmm4
    movaps 144(%rsp), %xmm5
    movaps 160(%rsp), %xmm6
    movaps 176(%rsp), %xmm7
    leave
    .cfi_def_cfa %rsp, 8
    testq %r11, %r11
    jz 1f
    jmp *%r11
1:  /* no host function: a zero result in every return register */
    xorl %eax, %eax
    xorl %edx, %edx
    pxor %xmm0, %xmm0
    pxor %xmm1, %xmm1
    ret
    .cfi_endproc
    .size kor_binding_slow_path, .-kor_binding_slow_path

.macro KOR_FORWARDER name, slot
    .globl \name
    .type \name, @function
    .p2align 4
\name:
    .cfi_startproc
    KOR_ENDBR
    movq kor_binding_slots+8*\slot(%rip), %r11
    testq %r11, %r11
    jz 1f
    jmp *%r11
1:  movl $\slot, %r11d
    jmp kor_binding_slow_path
    .cfi_endproc
    .size \name, .-\name
.endm

#define ZO_FORWARD(slot, name) KOR_FORWARDER name, slot
#define ZO_FORWARD_C(slot, name)
#include "host_functions.def"

    .section .note.GNU-stack, "", @progbits
