// bench-child: the child every launch variant starts. It does nothing so that what is measured is
// the starting and the waiting.
int main() {
    return 0;
}
