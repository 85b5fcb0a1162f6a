/* Calls a function it does not define: an import. */
int provided_elsewhere(int);

int uses_an_import(int x)
{
    return provided_elsewhere(x) + 1;
}
