int main() { return 1; } // (being written)
