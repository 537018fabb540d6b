#include "link/SerialPortList.h"

#include <algorithm>
#include <libserialport.h>

std::vector<std::string> ListSerialPorts()
{
    std::vector<std::string> names;
    struct sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK)
        return names;
    for (int i = 0; ports[i] != nullptr; ++i)
        if (const char* name = sp_get_port_name(ports[i]))
            names.emplace_back(name);
    sp_free_port_list(ports);
    std::sort(names.begin(), names.end());
    return names;
}
