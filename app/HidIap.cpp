#include "HidIap.h"

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) { resize(859, 587); }
