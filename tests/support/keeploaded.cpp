// Preloaded into sanitizer-built processes that load libraries with dlopen and close them before
// the leak check at exit (Mesa's GL driver and the libraries it pulls in, on an X display). A
// closed library's frames cannot be named, so its leaks could not be told from ours nor suppressed
// by name; kept loaded, they are named and the suppression list handles them.
extern "C" int dlclose(void *)
{
    return 0;
}
