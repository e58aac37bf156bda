// The strict layer linked into a test build of the tool, swug-strict.exe, for where it cannot be
// injected: under qemu's user-mode emulation wine starts no second 32-bit process, so strict-run.exe
// cannot start the tool. This object on the tool's link line imports strict.dll, which the loader
// then loads before main, as it loads any DLL that the program imports; strict.dll's DllMain
// patches the tool's imports and msvcrt.dll's as it does when injected. The tool's own sources are
// built unchanged. Test infrastructure only: swug.exe never links it.
extern "C" __declspec(dllimport) int strict_linked;
int *strict_layer_imported = &strict_linked;
