// The least a loader process costs: start, load libTollanCom.so from the
// folder above as Merrow does, end. Usage: bench_merrow_startup (no arguments)
#include <dlfcn.h>
#include <string>
#include <unistd.h>

int main()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return 1;
    std::string dir(buf, static_cast<std::size_t>(n));
    dir.resize(dir.rfind('/'));
    void *lib = dlopen((dir + "/../libTollanCom.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    return lib && dlsym(lib, "fnTollanComGetNumDevices") ? 0 : 1;
}
