// Captures the calling thread's registers as its caller sees them right after this call
// returns, then hands them to lvcrash_async_thread_state_current_finish(block, callback, context).
// Written at instruction level so that nothing it records is disturbed first.
#if defined(__x86_64__)
    .text
    .globl lvcrash_async_thread_state_current
    .type lvcrash_async_thread_state_current, @function
    .p2align 4
lvcrash_async_thread_state_current:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $176, %rsp
    // Block in Mach's order: rax rbx rcx rdx rdi rsi rbp rsp r8-r15 rip rflags cs fs gs.
    movq %rax, 0(%rsp)
    movq %rbx, 8(%rsp)
    movq %rcx, 16(%rsp)
    movq %rdx, 24(%rsp)
    movq %rdi, 32(%rsp)
    movq %rsi, 40(%rsp)
    movq %r8, 64(%rsp)
    movq %r9, 72(%rsp)
    movq %r10, 80(%rsp)
    movq %r11, 88(%rsp)
    movq %r12, 96(%rsp)
    movq %r13, 104(%rsp)
    movq %r14, 112(%rsp)
    movq %r15, 120(%rsp)
    movq 0(%rbp), %rax
    movq %rax, 48(%rsp)
    leaq 16(%rbp), %rax
    movq %rax, 56(%rsp)
    movq 8(%rbp), %rax
    movq %rax, 128(%rsp)
    pushfq
    popq %rax
    movq %rax, 136(%rsp)
    movq $0, 144(%rsp)
    movq $0, 152(%rsp)
    movq $0, 160(%rsp)
    movq %rsi, %rdx
    movq %rdi, %rsi
    movq %rsp, %rdi
    call lvcrash_async_thread_state_current_finish@PLT
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size lvcrash_async_thread_state_current, .-lvcrash_async_thread_state_current
#elif defined(__aarch64__)
    .text
    .globl lvcrash_async_thread_state_current
    .type lvcrash_async_thread_state_current, %function
    .p2align 2
lvcrash_async_thread_state_current:
    .cfi_startproc
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x30, -8
    .cfi_offset x29, -16
    mov x29, sp
    sub sp, sp, #272
    // Block: x0-x28 fp lr sp pc, cpsr 0 (x0 holds the callback).
    stp x0, x1, [sp, #0]
    stp x2, x3, [sp, #16]
    stp x4, x5, [sp, #32]
    stp x6, x7, [sp, #48]
    stp x8, x9, [sp, #64]
    stp x10, x11, [sp, #80]
    stp x12, x13, [sp, #96]
    stp x14, x15, [sp, #112]
    stp x16, x17, [sp, #128]
    stp x18, x19, [sp, #144]
    stp x20, x21, [sp, #160]
    stp x22, x23, [sp, #176]
    stp x24, x25, [sp, #192]
    stp x26, x27, [sp, #208]
    str x28, [sp, #224]
    ldp x9, x10, [x29]          // caller's fp and lr as saved by our own frame record
    str x9, [sp, #232]
    ldr x11, [x9, #8]           // lr stored in the caller's frame record
    str x11, [sp, #240]
    add x12, x29, #16           // caller's sp at the call
    str x12, [sp, #248]
    str x10, [sp, #256]         // pc: our return address
    str xzr, [sp, #264]
    mov x2, x1
    mov x1, x0
    mov x0, sp
    bl lvcrash_async_thread_state_current_finish
    mov sp, x29
    ldp x29, x30, [sp], #16
    ret
    .cfi_endproc
    .size lvcrash_async_thread_state_current, .-lvcrash_async_thread_state_current
#endif
    .section .note.GNU-stack,"",@progbits
