// dravlen: the conversion wizard. The whole command line is the path of a profile to run at once.
#include <string>

#include "wizard/qel_entry.h"

int main(int argc, char** argv)
{
    std::string tail;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            tail += ' ';
        tail += argv[i];
    }
    return dravlen_main(tail);
}
