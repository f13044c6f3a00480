// Two adjacent functions: the second faults on its first instruction, so its pc - 1 lies in the
// first, whose rules at its last byte would give a wrong caller.
#if defined(__x86_64__)
    .text
    .globl unwind_fault_before
    .type unwind_fault_before, @function
    .p2align 4
unwind_fault_before:
    .cfi_startproc
    subq $24, %rsp
    .cfi_adjust_cfa_offset 24
    ud2
    .cfi_endproc
    .size unwind_fault_before, .-unwind_fault_before

// long unwind_fault_first(long* p): reads *p as its first instruction.
    .globl unwind_fault_first
    .type unwind_fault_first, @function
unwind_fault_first:
    .cfi_startproc
    movq (%rdi), %rax
    retq
    .cfi_endproc
    .size unwind_fault_first, .-unwind_fault_first
#endif
    .section .note.GNU-stack,"",@progbits
