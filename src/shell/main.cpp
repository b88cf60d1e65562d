// Entry point of the show (start-up lives in shell/).
int main() { return 0; }
