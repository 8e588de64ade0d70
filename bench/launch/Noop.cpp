// An installer stand-in that ends at once.
int main() {
    return 0;
}
