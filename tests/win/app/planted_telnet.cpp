// What someone could leave in the viewer's current directory under the TELNET client's
// name: when started, it leaves a file there.
#include <cstdio>

int main()
{
    if (std::FILE* mark = std::fopen("planted-telnet-ran", "w"))
        std::fclose(mark);
    return 0;
}
