// Linked with one library whole and the libraries below it: the link fails
// when any of the library's code calls into a library above it.
int main() { return 0; }
