// The target whose precompiled header (GoogleTest and GoogleMock) every test
// program reuses: the headers are parsed once instead of once per test
// source. It is an executable because the tests are: the header must be
// built with the tests' code-model flags (-fPIE) to be taken.
int main() {
    return 0;
}
