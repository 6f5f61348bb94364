// The load configuration of a module built with Control Flow Guard, which this runtime does not bring.
// The compiler sends each indirect call through __guard_dispatch_icall_fptr (the target in rax); the
// linker lists the valid targets and defines the __guard_* symbols for the tables it writes; the
// loader, where the system enforces the guard, points both pointers below at its own check when it
// maps the module. Until then (or where nothing enforces it) the check passes and the dispatch jumps.
//
// Written in assembly: the directory holds the linker's absolute symbols (the counts, the flags), one
// of them in a 32-bit field, which no C++ constant initialiser can express; and its fields must be in
// the image as the loader reads it, not filled in by code at run time.
asm(R"(
  .text
  .p2align 4
wiastiio_guard_check_unchecked:
  ret
  .p2align 4
wiastiio_guard_dispatch_unchecked:
  jmp *%rax

  # Read-only once loaded: the loader alone replaces them, as the section's name tells it.
  .section .00cfg,"dr"
  .p2align 3
  .globl __guard_check_icall_fptr
__guard_check_icall_fptr:
  .quad wiastiio_guard_check_unchecked
  .globl __guard_dispatch_icall_fptr
__guard_dispatch_icall_fptr:
  .quad wiastiio_guard_dispatch_unchecked

  # IMAGE_LOAD_CONFIG_DIRECTORY64 as far as the guard's tables reach; the linker points the image's
  # load-configuration entry at the object of this name.
  .section .rdata,"dr"
  .p2align 3
  .globl _load_config_used
_load_config_used:
  .long 0x118                     # 0x00 Size
  .zero 0x70 - 4                  #      up to SEHandlerCount: nothing
  .quad __guard_check_icall_fptr  # 0x70 GuardCFCheckFunctionPointer
  .quad __guard_dispatch_icall_fptr
  .quad __guard_fids_table        # 0x80 GuardCFFunctionTable
  .quad __guard_fids_count
  .long __guard_flags             # 0x90 GuardFlags
  .zero 12                        # 0x94 CodeIntegrity
  .quad __guard_iat_table         # 0xA0 GuardAddressTakenIatEntryTable
  .quad __guard_iat_count
  .quad __guard_longjmp_table     # 0xB0 GuardLongJumpTargetTable
  .quad __guard_longjmp_count
  .zero 0x108 - 0xC0              # 0xC0 up to VolatileMetadataPointer: nothing
  .quad __guard_eh_cont_table     # 0x108 GuardEHContinuationTable
  .quad __guard_eh_cont_count
  .text
)");
