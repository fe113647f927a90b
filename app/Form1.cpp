#include "app/Form1.h"

#include "ui_Form1.h"

Form1::Form1(repair::RunServices services, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::Form1>()), run_(*this, std::move(services)) {
    ui_->setupUi(this);
}

Form1::~Form1() = default;

QString Form1::schoolCodeText() { return {}; }
void Form1::focusSchoolCode() {}
void Form1::showMessage(const platform::Message&) {}
void Form1::closeWindow() {}
void Form1::endProgram(int) {}
