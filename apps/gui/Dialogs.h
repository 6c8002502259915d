#pragma once
// The Qt views of the dialog models: each renders one model's fields as widgets, copies the
// widgets into the model when a button is pressed, lets the model's handler decide, and shows
// the model's state again. The logic stays in the models, so the views hold none of it.
//
// Every input widget carries an objectName ("chipType", "port", "rate", "crystal", "compute",
// "startSector", "count", "fileName", "password", "buttons", ...) so that tests and the main
// window's tests can find and drive it.

#include <QDialog>
#include <functional>
#include <memory>

#include "platform/Operator.h"

class QWidget;

namespace tessel::gui {

class GuiSettings;

// Shows the dialog that renders `model` modally (exec) on the GUI thread. Ok only when the
// model accepted OK (PressOk() returned CloseOk); Cancel otherwise, and for a model this
// program has no view for.
// `settings`, when given, is where the file fields remember the last folder and recent files.
// `runner`: where chip work the dialog's buttons ask for runs; none, at once on this thread.
DialogResult RunModelDialog(DialogModel& model, QWidget* parent, GuiSettings* settings = nullptr,
                            std::function<void(const std::function<void()>&)> runner = {});

// The same dialog, created but not run: the caller shows it, edits it and presses its
// buttons. Null for a model this program has no view for. The model must outlive it.
std::unique_ptr<QDialog> CreateModelDialog(DialogModel& model, QWidget* parent, GuiSettings* settings = nullptr);

// The filters of the file choosers that pick an image.
QString ImageFileFilters();

}  // namespace tessel::gui
