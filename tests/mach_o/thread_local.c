/* A thread-local variable, which needs the dynamic linker's support. */
__thread int per_thread = 3;

int read_per_thread(void)
{
    return per_thread;
}
