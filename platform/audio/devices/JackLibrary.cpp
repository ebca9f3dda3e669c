#include "platform/audio/devices/JackLibrary.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <mutex>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Where PipeWire keeps its JACK library, beside (not in place of) the system's.
const char* const kPipeWireLibraries[] = {
    "/usr/lib/" SONABEL_MULTIARCH "/pipewire-0.3/jack/libjack.so.0",
    "/usr/lib64/pipewire-0.3/jack/libjack.so.0",
    "/usr/lib/pipewire-0.3/jack/libjack.so.0",
};

// The socket a PipeWire client connects to, as its library finds it.
bool pipewireRuns() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string path = remote && *remote ? remote : "pipewire-0";
    if (path.front() != '/') {
        const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir || !*dir) dir = std::getenv("XDG_RUNTIME_DIR");
        if (!dir || !*dir) return false;
        path = std::string(dir) + "/" + path;
    }
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

struct Relro {
    ElfW(Addr) base = 0;
    std::uintptr_t start = 0, end = 0;
};

// PipeWire's JACK library calls its own exported functions through its procedure linkage table
// (closing a client deactivates it through jack_deactivate, a failed open closes through
// jack_client_close). In a process that already holds another libjack.so.0 (RtAudio links one in),
// the loader binds those calls to that library's functions, which take PipeWire's clients for their
// own and crash. Every reference of the library to a symbol it defines itself is bound back to its
// own definition, as linking it with -Bsymbolic would have; binding deeply at open is refused by the
// sanitizers and would hide the library's threads from them.
bool bindToItself(void* handle) {
#if defined(__x86_64__)
    constexpr unsigned kJumpSlot = R_X86_64_JUMP_SLOT, kGlobalData = R_X86_64_GLOB_DAT,
                       kAbsolute = R_X86_64_64;
#elif defined(__aarch64__)
    constexpr unsigned kJumpSlot = R_AARCH64_JUMP_SLOT, kGlobalData = R_AARCH64_GLOB_DAT,
                       kAbsolute = R_AARCH64_ABS64;
#else
    return false;
#endif
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return false;
    Relro relro{map->l_addr};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* found = static_cast<Relro*>(data);
            if (info->dlpi_addr != found->base) return 0;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_GNU_RELRO) {
                    found->start = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
                    found->end = found->start + info->dlpi_phdr[i].p_memsz;
                }
            return 1;
        },
        &relro);
    const ElfW(Addr) base = map->l_addr;
    // The loader has relocated these entries of the dynamic section where it could.
    const auto at = [base](ElfW(Addr) pointer) { return pointer < base ? pointer + base : pointer; };
    const ElfW(Sym)* symbols = nullptr;
    const ElfW(Rela) * tables[2] = {};
    std::size_t sizes[2] = {};
    for (const ElfW(Dyn)* d = map->l_ld; d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const ElfW(Sym)*>(at(d->d_un.d_ptr));
        if (d->d_tag == DT_JMPREL) tables[0] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr));
        if (d->d_tag == DT_PLTRELSZ) sizes[0] = d->d_un.d_val;
        if (d->d_tag == DT_RELA) tables[1] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr));
        if (d->d_tag == DT_RELASZ) sizes[1] = d->d_un.d_val;
    }
    if (!symbols) return false;
    const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const std::uintptr_t from = relro.start & ~(page - 1), to = (relro.end + page - 1) & ~(page - 1);
    if (to > from && mprotect(reinterpret_cast<void*>(from), to - from, PROT_READ | PROT_WRITE) != 0)
        return false;
    for (int t = 0; t < 2; ++t)
        for (std::size_t i = 0; tables[t] && i < sizes[t] / sizeof(ElfW(Rela)); ++i) {
            const ElfW(Rela)& r = tables[t][i];
            const auto type = unsigned(ELF64_R_TYPE(r.r_info));
            if (type != kJumpSlot && type != kGlobalData && type != kAbsolute) continue;
            const ElfW(Sym)& symbol = symbols[ELF64_R_SYM(r.r_info)];
            if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(symbol.st_info) == STT_GNU_IFUNC) continue;
            auto* slot = reinterpret_cast<ElfW(Addr)*>(base + r.r_offset);
            *slot = base + symbol.st_value + (type == kAbsolute ? ElfW(Addr)(r.r_addend) : 0);
        }
    if (to > from) mprotect(reinterpret_cast<void*>(from), to - from, PROT_READ);
    return true;
}

template <typename F> bool take(void* handle, const char* name, F& function) {
    function = reinterpret_cast<F>(dlsym(handle, name));
    return function != nullptr;
}

std::optional<JackLibrary> load(const char* path, bool pipewire) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return std::nullopt;
    if (pipewire && !bindToItself(handle)) return std::nullopt; // kept open: it may have started threads
    JackLibrary library;
    library.pipewire = pipewire;
    Dl_info info{};
    library.path = dladdr(dlsym(handle, "jack_client_open"), &info) && info.dli_fname ? info.dli_fname : path;
    const bool all = take(handle, "jack_client_open", library.client_open) &&
                     take(handle, "jack_client_close", library.client_close) &&
                     take(handle, "jack_get_client_name", library.get_client_name) &&
                     take(handle, "jack_activate", library.activate) &&
                     take(handle, "jack_deactivate", library.deactivate) &&
                     take(handle, "jack_set_process_callback", library.set_process_callback) &&
                     take(handle, "jack_set_buffer_size_callback", library.set_buffer_size_callback) &&
                     take(handle, "jack_on_shutdown", library.on_shutdown) &&
                     take(handle, "jack_on_info_shutdown", library.on_info_shutdown) &&
                     take(handle, "jack_port_register", library.port_register) &&
                     take(handle, "jack_port_get_buffer", library.port_get_buffer) &&
                     take(handle, "jack_port_name", library.port_name) &&
                     take(handle, "jack_port_short_name", library.port_short_name) &&
                     take(handle, "jack_port_by_name", library.port_by_name) &&
                     take(handle, "jack_port_get_all_connections", library.port_get_all_connections) &&
                     take(handle, "jack_get_ports", library.get_ports) &&
                     take(handle, "jack_free", library.free) &&
                     take(handle, "jack_connect", library.connect) &&
                     take(handle, "jack_get_buffer_size", library.get_buffer_size) &&
                     take(handle, "jack_set_buffer_size", library.set_buffer_size) &&
                     take(handle, "jack_get_sample_rate", library.get_sample_rate) &&
                     take(handle, "jack_set_error_function", library.set_error_function) &&
                     take(handle, "jack_set_info_function", library.set_info_function);
    if (!all) return std::nullopt;
    // The libraries print to stderr when no server answers, which the backend's choice expects.
    library.set_error_function([](const char*) {});
    library.set_info_function([](const char*) {});
    return library;
}

} // namespace

const JackLibrary* JackLibrary::find() {
    static std::mutex mutex;
    static std::optional<std::optional<JackLibrary>> pipewire, system;
    std::lock_guard lock(mutex);
    // PipeWire's library is opened only where PipeWire runs: opening it starts its client context.
    if (pipewireRuns()) {
        if (!pipewire) {
            pipewire.emplace();
            for (const char* path : kPipeWireLibraries)
                if (access(path, F_OK) == 0 && (*pipewire = load(path, true))) break;
        }
        if (*pipewire) return &**pipewire;
    }
    if (!system) system = load("libjack.so.0", false);
    return *system ? &**system : nullptr;
}

} // namespace platform
