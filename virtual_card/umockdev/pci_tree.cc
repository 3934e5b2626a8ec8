// SPDX-License-Identifier: Apache-2.0
#include "pci_tree.h"

#include <errno.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

std::string pci_tree_add(UMockdevTestbed *testbed, const pci_tree_function_s &function) {
    std::vector<const gchar *> attrs, props;
    for (const auto &[name, value] : function.attributes) {
        attrs.push_back(name.c_str());
        attrs.push_back(value.c_str());
    }
    attrs.push_back(nullptr);
    for (const auto &[name, value] : function.properties) {
        props.push_back(name.c_str());
        props.push_back(value.c_str());
    }
    props.push_back(nullptr);
    gchar *devpath =
        umockdev_testbed_add_devicev(testbed, "pci", function.name.c_str(), nullptr, const_cast<gchar **>(attrs.data()),
                                     const_cast<gchar **>(props.data()));
    if (devpath == nullptr) return {};
    const std::string path = devpath;
    g_free(devpath);
    if (!function.config.empty()) {
        umockdev_testbed_set_attribute_binary(testbed, path.c_str(), "config",
                                              const_cast<guint8 *>(function.config.data()),
                                              static_cast<gint>(function.config.size()));
    }
    if (!function.vpd.empty()) {
        umockdev_testbed_set_attribute_binary(testbed, path.c_str(), "vpd", const_cast<guint8 *>(function.vpd.data()),
                                              static_cast<gint>(function.vpd.size()));
    }
    if (!function.resource.empty()) {
        umockdev_testbed_set_attribute(testbed, path.c_str(), "resource", function.resource.c_str());
    }
    return path;
}

bool pci_tree_bind_driver(UMockdevTestbed *testbed, const std::string &devpath, const std::string &bdf,
                          const std::string &driver) {
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    const std::string driver_dir = std::string(root) + "/sys/bus/pci/drivers/" + driver;
    g_free(root);
    if (g_mkdir_with_parents(driver_dir.c_str(), 0755) != 0) {
        std::fprintf(stderr, "cannot create %s: %s\n", driver_dir.c_str(), std::strerror(errno));
        return false;
    }
    // A function bound again (a test rebinding it) points at the new place.
    const std::string link = driver_dir + "/" + bdf;
    unlink(link.c_str());
    // From sys/bus/pci/drivers/<driver>/ back up to sys/; devpath is "/sys/devices/...".
    const std::string target = "../../../.." + devpath.substr(std::strlen("/sys"));
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    // The same number of steps up from the function's own directory.
    std::string up;
    for (size_t at = std::strlen("/sys"); (at = devpath.find('/', at + 1)) != std::string::npos;) {
        up += "../";
    }
    umockdev_testbed_set_attribute_link(testbed, devpath.c_str(), "driver",
                                        (up + "../bus/pci/drivers/" + driver).c_str());
    return true;
}

std::string pci_tree_resource_text(const std::vector<std::array<uint64_t, 3>> &regions) {
    std::string text;
    for (const auto &r : regions) {
        char line[80];
        std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n", static_cast<unsigned long long>(r[0]),
                      static_cast<unsigned long long>(r[1]), static_cast<unsigned long long>(r[2]));
        text += line;
    }
    return text;
}
