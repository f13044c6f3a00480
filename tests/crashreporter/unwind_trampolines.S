// Test entry points that put known values in callee-saved registers before calling on.
#if defined(__x86_64__)
    .text
// long unwind_chain_enter(fn, value, steps, rbx_value, r12_value): calls fn(value, steps)
// with rbx and r12 holding the given values.
    .globl unwind_chain_enter
    .type unwind_chain_enter, @function
    .p2align 4
unwind_chain_enter:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    pushq %rbx
    .cfi_offset %rbx, -24
    pushq %r12
    .cfi_offset %r12, -32
    movq %rcx, %rbx
    movq %r8, %r12
    movq %rdi, %rax
    movq %rsi, %rdi
    movq %rdx, %rsi
    callq *%rax
    popq %r12
    popq %rbx
    popq %rbp
    .cfi_def_cfa %rsp, 8
    retq
    .cfi_endproc
    .globl unwind_chain_enter_end
unwind_chain_enter_end:
    .size unwind_chain_enter, .-unwind_chain_enter

// lvcrash_error_t unwind_capture_known(callback, context): captures this frame with rbx, r12-r15
// = 0x1111...0x5555 (repeated bytes); the expected sp and pc are stored in unwind_capture_expect.
    .globl unwind_capture_known
    .type unwind_capture_known, @function
    .p2align 4
unwind_capture_known:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    .cfi_offset %rbx, -24
    .cfi_offset %r12, -32
    .cfi_offset %r13, -40
    .cfi_offset %r14, -48
    .cfi_offset %r15, -56
    movabsq $0x1111111111111111, %rbx
    movabsq $0x2222222222222222, %r12
    movabsq $0x3333333333333333, %r13
    movabsq $0x4444444444444444, %r14
    movabsq $0x5555555555555555, %r15
    movq %rsp, unwind_capture_expect(%rip)
    leaq unwind_capture_known_return(%rip), %rax
    movq %rax, unwind_capture_expect+8(%rip)
    movq %rbp, unwind_capture_expect+16(%rip)
    call lvcrash_async_thread_state_current@PLT
    .globl unwind_capture_known_return
unwind_capture_known_return:
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    .cfi_def_cfa %rsp, 8
    retq
    .cfi_endproc
    .size unwind_capture_known, .-unwind_capture_known

    .bss
    .globl unwind_capture_expect
    .p2align 3
unwind_capture_expect:
    .zero 24
#endif
    .section .note.GNU-stack,"",@progbits
