#include "platform/driver_call.h"

#if defined(__i386__)

#if defined(__ELF__)
#define HWDS_THUNK_ELF_START ".hidden hwds_driver_call_x86\n.type hwds_driver_call_x86, @function\n"
#define HWDS_THUNK_ELF_END ".size hwds_driver_call_x86, .-hwds_driver_call_x86\n"
#else
#define HWDS_THUNK_ELF_START
#define HWDS_THUNK_ELF_END
#endif

// cdecl itself. ebp holds the stack pointer across the driver's call: both
// conventions preserve it, and only a stdcall callee moves esp. The words are
// copied to a 16-byte aligned block, as the System V i386 ABI wants at a call.
__asm__(
    ".text\n"
    ".globl hwds_driver_call_x86\n" HWDS_THUNK_ELF_START
    "hwds_driver_call_x86:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %esi\n"
    "    movl 8(%ebp), %eax\n"   // fn
    "    movl 12(%ebp), %esi\n"  // args
    "    movl 16(%ebp), %ecx\n"  // count
    "    leal (,%ecx,4), %edx\n"
    "    subl %edx, %esp\n"
    "    andl $-16, %esp\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    movl (%esi,%ecx,4), %edx\n"
    "    movl %edx, (%esp,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  call *%eax\n"
    "    leal -4(%ebp), %esp\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    ret\n" HWDS_THUNK_ELF_END);

#endif
