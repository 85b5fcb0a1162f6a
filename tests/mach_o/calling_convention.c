/* How far from the 16-byte alignment that Mac OS X i386 code may assume at
 * every call the stack is: on entry here, and in `report` when this code
 * calls back into the host. Both must answer 0. */
typedef int (*Report)(void);

int misalignment_on_entry(void)
{
    /* The return address is pushed by the call and the frame pointer here. */
    return (int)(((unsigned long)__builtin_frame_address(0) + 8) % 16);
}

int call_back(Report report)
{
    volatile int keep_a_frame = 1;
    return report() + keep_a_frame - 1;
}
