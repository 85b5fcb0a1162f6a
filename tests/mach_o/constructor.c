/* A function the dynamic linker would run at load time. */
static int ready;

__attribute__((constructor)) static void get_ready(void)
{
    /* Opaque to the compiler, which would otherwise run it at compile time. */
    __asm__ volatile("" ::: "memory");
    ready = 1;
}

int is_ready(void)
{
    return ready;
}
