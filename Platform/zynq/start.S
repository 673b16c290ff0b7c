@ Start-up and exception vectors of the Cortex-A9 (ARM state, MMU off, one core).
@
@ The reset code gives every processor mode its stack, turns on the VFP/NEON unit and alignment
@ checking, clears .bss and enters C++ (zynq_start). The interrupt entry saves what a C++ handler
@ may clobber, the caller-saved VFP/NEON registers and FPSCR included: the field cycle computes in
@ floating point. Interrupts do not nest.

        .syntax unified
        .arm

        .equ MODE_FIQ, 0x11
        .equ MODE_IRQ, 0x12
        .equ MODE_SVC, 0x13
        .equ MODE_ABT, 0x17
        .equ MODE_UND, 0x1B
        .equ MASK_IF,  0xC0

        .section .vectors, "ax"
        .align 5
        .global _vectors
_vectors:
        b       _reset
        b       undef_entry
        b       svc_entry
        b       pabort_entry
        b       dabort_entry
        b       .
        b       irq_entry
        b       fiq_entry

        .text
        .global _reset
        .type   _reset, %function
_reset:
        cpsid   if
        ldr     r0, =_vectors
        mcr     p15, 0, r0, c12, c0, 0          @ VBAR
        msr     cpsr_c, #(MODE_IRQ | MASK_IF)
        ldr     sp, =__irq_stack_top
        msr     cpsr_c, #(MODE_FIQ | MASK_IF)
        ldr     sp, =__abt_stack_top
        msr     cpsr_c, #(MODE_ABT | MASK_IF)
        ldr     sp, =__abt_stack_top
        msr     cpsr_c, #(MODE_UND | MASK_IF)
        ldr     sp, =__abt_stack_top
        msr     cpsr_c, #(MODE_SVC | MASK_IF)
        ldr     sp, =__svc_stack_top

        @ VFP/NEON: full access to cp10 and cp11, then FPEXC.EN.
        mrc     p15, 0, r0, c1, c0, 2
        orr     r0, r0, #(0xF << 20)
        mcr     p15, 0, r0, c1, c0, 2
        isb
        mov     r0, #0x40000000
        vmsr    fpexc, r0

        @ SCTLR: exception vectors at VBAR (V = 0), alignment checking on (A = 1), I-cache on.
        mrc     p15, 0, r0, c1, c0, 0
        bic     r0, r0, #(1 << 13)
        orr     r0, r0, #(1 << 1)
        orr     r0, r0, #(1 << 12)
        mcr     p15, 0, r0, c1, c0, 0
        isb

        ldr     r0, =__bss_start
        ldr     r1, =__bss_end
        mov     r2, #0
1:      cmp     r0, r1
        strlo   r2, [r0], #4
        blo     1b

        bl      zynq_start
        b       .
        .size   _reset, . - _reset

        .type   irq_entry, %function
irq_entry:
        sub     lr, lr, #4
        push    {r0-r3, r12, lr}                @ 24 bytes
        vmrs    r0, fpscr
        push    {r0, r1}                        @ 8 bytes: the stack stays 8-byte aligned
        vpush   {d0-d7}
        vpush   {d16-d31}
        bl      zynq_irq_dispatch
        vpop    {d16-d31}
        vpop    {d0-d7}
        pop     {r0, r1}
        vmsr    fpscr, r0
        pop     {r0-r3, r12, lr}
        movs    pc, lr
        .size   irq_entry, . - irq_entry

@ Faults: zynq_fault(kind, pc, address, status) reports and stops; it does not return.
undef_entry:
        mov     r0, #0
        sub     r1, lr, #4
        mov     r2, #0
        mov     r3, #0
        b       zynq_fault
svc_entry:
        mov     r0, #1
        sub     r1, lr, #4
        mov     r2, #0
        mov     r3, #0
        b       zynq_fault
pabort_entry:
        mov     r0, #2
        sub     r1, lr, #4
        mrc     p15, 0, r2, c6, c0, 2           @ IFAR
        mrc     p15, 0, r3, c5, c0, 1           @ IFSR
        b       zynq_fault
dabort_entry:
        mov     r0, #3
        sub     r1, lr, #8
        mrc     p15, 0, r2, c6, c0, 0           @ DFAR
        mrc     p15, 0, r3, c5, c0, 0           @ DFSR
        b       zynq_fault
fiq_entry:
        mov     r0, #4
        sub     r1, lr, #4
        mov     r2, #0
        mov     r3, #0
        b       zynq_fault

        .ltorg
