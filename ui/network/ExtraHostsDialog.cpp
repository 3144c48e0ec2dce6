#include "ui/network/ExtraHostsDialog.h"

#include "ui/network/ExtraHosts.h"

namespace kestrane {

ExtraHostsDialog::ExtraHostsDialog(ExtraHosts& extraHosts, QWidget* parent)
    : QDialog(parent), hosts(extraHosts) {}

} // namespace kestrane
