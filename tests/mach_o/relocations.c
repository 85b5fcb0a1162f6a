/* Compiled for Mac OS X i386 by the build, position-independent and not,
 * so that the loader meets each relocation kind clang emits there; each
 * one can be seen from the host through an exported function or pointer. */
static int counter = 41;
int exported_value = 7;
static const char greeting[] = "hello";
static int table[4] = {10, 20, 30, 40};

/* Pointers in data: to a local (section form), to a global (symbol form),
 * and into the middle of a local (scattered form). */
const char* const greeting_pointer = greeting;
int* const value_pointer = &exported_value;
int* const third_entry_pointer = &table[2];

/* A call to a global (PC-relative, symbol form) and to a local placed in
 * another section (PC-relative, section form). */
__attribute__((noinline)) int add_one(int x)
{
    return x + 1;
}

__attribute__((noinline, section("__TEXT,__text_cold"))) static int twice(int x)
{
    return 2 * x;
}

int twice_plus_one(int x)
{
    return add_one(twice(x));
}

/* Data reached from code: a local and a global, by difference from the
 * function's own address when position-independent, by address when not. */
int next_counter(void)
{
    return ++counter;
}

int read_exported(void)
{
    return exported_value;
}

int third_entry(void)
{
    volatile int index = 2;
    return table[index] + table[2];
}

/* A jump table: section differences inside the code. */
int pick(int x)
{
    switch (x) {
    case 0:
        return 11;
    case 1:
        return 23;
    case 2:
        return 37;
    case 3:
        return 41;
    case 4:
        return 59;
    default:
        return -1;
    }
}

/* Weak definitions are reached through their symbols (extern relocations),
 * and weak data, when position-independent, through a non-lazy pointer. */
__attribute__((weak, noinline)) int weak_three(void)
{
    return 3;
}

__attribute__((weak)) int weak_value = 5;
int* const weak_value_pointer = &weak_value;
int (*const weak_function_pointer)(void) = weak_three;

int weak_sum(void)
{
    return weak_three() + weak_value;
}
