/* The least a zentactl process costs: start, load libTollanCom.so from its
 * own folder as zentactl does, end. Usage: bench_zentactl_startup */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 32);
    if (n <= 0)
        return 1;
    path[n] = '\0';
    strcpy(strrchr(path, '/') + 1, "libTollanCom.so");
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    return lib && dlsym(lib, "fnTollanComGetNumDevices") ? 0 : 1;
}
