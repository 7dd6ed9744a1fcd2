// Placeholder until the alarm application lands.
int main() { return 0; }
