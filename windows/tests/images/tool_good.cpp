// A console program built as zr48stat.exe is: the program check must accept it.
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    std::string name = argc > 0 ? argv[0] : "tool";
    printf("%s\n", name.c_str());
    return 0;
}
