#include <cstdio>

// Waits until standard input reaches its end: the test that started it closes the pipe to end
// it, and the pipe also closes if that test dies, so no copy outlives it.
int main()
{
    while (std::getchar() != EOF) { }
    return 0;
}
