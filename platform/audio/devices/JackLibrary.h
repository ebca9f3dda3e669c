#pragma once
#include <jack/jack.h>

#include <string>

namespace platform {

// The JACK library the process talks to, opened at run time: PipeWire's (pipewire-jack, in its own
// folder) where a PipeWire server's socket is there, else the loader's libjack.so.0, which serves a
// plain JACK server. Nothing outside the process changes: no loader configuration, no variable in
// front of the program. The functions come from the library found, never from one linked in.
struct JackLibrary {
    // Null when neither loads. Each library is opened once and kept for the process (PipeWire's
    // starts threads and keeps state that must outlive every client).
    static const JackLibrary* find();

    std::string path; // the file it was opened from
    bool pipewire = false;

    decltype(&::jack_client_open) client_open = nullptr;
    decltype(&::jack_client_close) client_close = nullptr;
    decltype(&::jack_get_client_name) get_client_name = nullptr;
    decltype(&::jack_activate) activate = nullptr;
    decltype(&::jack_deactivate) deactivate = nullptr;
    decltype(&::jack_set_process_callback) set_process_callback = nullptr;
    decltype(&::jack_set_buffer_size_callback) set_buffer_size_callback = nullptr;
    decltype(&::jack_on_shutdown) on_shutdown = nullptr;
    decltype(&::jack_on_info_shutdown) on_info_shutdown = nullptr;
    decltype(&::jack_port_register) port_register = nullptr;
    decltype(&::jack_port_get_buffer) port_get_buffer = nullptr;
    decltype(&::jack_port_name) port_name = nullptr;
    decltype(&::jack_port_short_name) port_short_name = nullptr;
    decltype(&::jack_port_by_name) port_by_name = nullptr;
    decltype(&::jack_port_get_all_connections) port_get_all_connections = nullptr;
    decltype(&::jack_get_ports) get_ports = nullptr;
    decltype(&::jack_free) free = nullptr;
    decltype(&::jack_connect) connect = nullptr;
    decltype(&::jack_get_buffer_size) get_buffer_size = nullptr;
    decltype(&::jack_set_buffer_size) set_buffer_size = nullptr;
    decltype(&::jack_get_sample_rate) get_sample_rate = nullptr;
    decltype(&::jack_set_error_function) set_error_function = nullptr;
    decltype(&::jack_set_info_function) set_info_function = nullptr;
};

} // namespace platform
