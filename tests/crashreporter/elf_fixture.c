// A small shared object the ELF tests open with dlopen, with and without a build id.
static int elf_fixture_counter;

__attribute__((noinline)) static int elf_fixture_local(int value) { return value * 5 + elf_fixture_counter; }

int elf_fixture_exported(int value) { return elf_fixture_local(value) + 1; }

int elf_fixture_alias(int value) __attribute__((alias("elf_fixture_exported")));
