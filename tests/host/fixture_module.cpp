// A module for the loader tests: counts its entry calls in environment variables.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
void bump(const char *name)
{
    const char *v = std::getenv(name);
    const int n = v ? std::atoi(v) : 0;
    setenv(name, std::to_string(n + 1).c_str(), 1);
}
} // namespace

extern "C" {
__attribute__((visibility("default"))) void Initialize() { bump("FIXTURE_INITIALIZE"); }
__attribute__((visibility("default"))) void Finalize() { bump("FIXTURE_FINALIZE"); }
#ifdef FIXTURE_WITH_INIPROC
__attribute__((visibility("default"))) void IniProc() { bump("FIXTURE_INIPROC"); }
#endif
}
