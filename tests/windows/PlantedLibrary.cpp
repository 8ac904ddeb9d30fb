// A library that exists only beside the check program: a bare-name load
// must not find it there.
extern "C" __declspec(dllexport) int quorviPlantedValue() {
    return 42;
}
