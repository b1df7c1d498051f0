// Entry of the console program.
#include <cstdio>

int main(int, char**)
{
    std::fputs("Usage: dravcli --src=<Access database> --dest=<database or script file> [options]\n", stdout);
    return -1;
}
