#pragma once

#include "ui_paramdialog.h"

#include <QDialog>

// The one window of paramconfig: shows the two ports of the parameter service,
// writes them into the system-wide settings store and restarts the service.
class ParamDialog : public QDialog, private Ui::ParamDialog
{
    Q_OBJECT

public:
    explicit ParamDialog(QWidget* parent = nullptr);

public slots:
    // Fills the status line and the two port fields; copies the per-user settings
    // into the system-wide store once if only the per-user store was ever saved.
    void loadServiceSettings();
    // Validates the fields, writes the ports system-wide and restarts the service.
    void saveServiceSettings();
};
