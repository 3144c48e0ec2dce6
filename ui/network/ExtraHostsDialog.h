#pragma once

#include <QDialog>

namespace kestrane {

class ExtraHosts;

/// A small dialog to edit the extra hosts: one entry a line, checked when
/// saved; a bad line is named and nothing is lost. Does not own `hosts`.
class ExtraHostsDialog : public QDialog {
public:
    explicit ExtraHostsDialog(ExtraHosts& hosts, QWidget* parent = nullptr);

private:
    ExtraHosts& hosts;
};

} // namespace kestrane
