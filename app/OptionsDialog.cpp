#include "OptionsDialog.h"

#include "DialogFit.h"
#include "OperationSettings.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// Every value a name table of RunOptions knows: past its end the name
// function gives the first name again.
template <class Enum> QList<Enum> KnownValues(const char* (*name)(Enum)) {
    QList<Enum> values{Enum(0)};
    for (int i = 1; i < 64 && QByteArray(name(Enum(i))) != name(Enum(0)); ++i) values.push_back(Enum(i));
    return values;
}

QString ResampleText(ResampleFilter filter) {
    switch (filter) {
    case ResampleFilter::kNearest: return QObject::tr("Nearest pixel (fast, as designed)");
    case ResampleFilter::kSmooth: return QObject::tr("Smooth");
    }
    return QString::fromLatin1(ResampleFilterName(filter));
}

QString MetadataText(MetadataMode mode) {
    switch (mode) {
    case MetadataMode::kKeepAll: return QObject::tr("Keep all");
    case MetadataMode::kKeepAllButLocation: return QObject::tr("Keep all but the location");
    case MetadataMode::kStripAll: return QObject::tr("Strip all");
    }
    return QString::fromLatin1(MetadataModeName(mode));
}

template <class Enum> void Fill(QComboBox* combo, const char* (*name)(Enum), QString (*text)(Enum)) {
    for (Enum value : KnownValues(name)) combo->addItem(text(value), int(value));
}

void Select(QComboBox* combo, int value) { combo->setCurrentIndex(std::max(0, combo->findData(value))); }

QSpinBox* Spin(int lo, int hi, const QString& suffix) {
    auto* spin = new QSpinBox;
    spin->setRange(lo, hi);
    spin->setSuffix(suffix);
    return spin;
}

} // namespace

OptionsDialog::OptionsDialog(const RunOptions& options, QWidget* parent) : QDialog(parent) {
    setObjectName("options-dialog");
    setWindowTitle(tr("Options"));
    auto* layout = new QVBoxLayout(this);

    auto* resize = new QGroupBox(tr("Resize"), this);
    auto* resizeForm = new QFormLayout(resize);
    resample_ = new QComboBox;
    resample_->setObjectName("resample");
    Fill(resample_, &ResampleFilterName, &ResampleText);
    resizeForm->addRow(tr("Resampling:"), resample_);
    onlyShrink_ = new QCheckBox(tr("Never enlarge: smaller images keep their size"));
    onlyShrink_->setObjectName("only-shrink");
    resizeForm->addRow(onlyShrink_);
    longestSide_ = Spin(kSpinMin, kSpinMax, tr(" pixels"));
    longestSide_->setObjectName("longest-side");
    resizeForm->addRow(tr("\"Longest Side\":"), longestSide_);
    percent_ = Spin(kPercentMin, kPercentMax, tr(" %"));
    percent_->setObjectName("percent");
    resizeForm->addRow(tr("\"Percent\":"), percent_);
    layout->addWidget(resize);

    auto* photos = new QGroupBox(tr("Photos and metadata"), this);
    auto* photoForm = new QFormLayout(photos);
    autoRotate_ = new QCheckBox(tr("Turn photos upright by their camera orientation"));
    autoRotate_->setObjectName("auto-rotate");
    photoForm->addRow(autoRotate_);
    metadata_ = new QComboBox;
    metadata_->setObjectName("metadata");
    Fill(metadata_, &MetadataModeName, &MetadataText);
    photoForm->addRow(tr("Exif, XMP, IPTC, colour profile:"), metadata_);
    background_ = new QPushButton;
    background_->setObjectName("background");
    connect(background_, &QPushButton::clicked, this, [this] {
        const QColor chosen = QColorDialog::getColor(
            QColor(RedOf(backgroundColour_), GreenOf(backgroundColour_), BlueOf(backgroundColour_)), this,
            tr("Background Colour"), QColorDialog::DontUseNativeDialog);
        if (!chosen.isValid()) return;
        backgroundColour_ = MakeColorRef(uint8_t(chosen.red()), uint8_t(chosen.green()), uint8_t(chosen.blue()));
        ShowBackground();
    });
    photoForm->addRow(tr("Transparency flattened onto:"), background_);
    layout->addWidget(photos);

    auto* output = new QGroupBox(tr("Output and run"), this);
    auto* outputForm = new QFormLayout(output);
    lossless_ = new QCheckBox(tr("Lossless where the format has it (WEBP, AVIF)"));
    lossless_->setObjectName("lossless");
    outputForm->addRow(lossless_);
    threads_ = Spin(0, kThreadsMax, QString());
    threads_->setObjectName("threads");
    threads_->setSpecialValueText(tr("one per core"));
    outputForm->addRow(tr("Images at once:"), threads_);
    strict_ = new QCheckBox(tr("Fail images that would lose something (no warnings, nothing written)"));
    strict_->setObjectName("strict");
    outputForm->addRow(strict_);
    layout->addWidget(output);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::RestoreDefaults, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            [this] { Show(RunOptions{}); });
    layout->addWidget(buttons);
    Show(options);
    FitTitle(this);
}

void OptionsDialog::Show(const RunOptions& o) {
    base_ = o;
    Select(resample_, int(o.resample));
    onlyShrink_->setChecked(o.onlyShrink);
    longestSide_->setValue(o.longestSide);
    percent_->setValue(o.percent);
    autoRotate_->setChecked(o.autoRotate);
    Select(metadata_, int(o.metadata));
    backgroundColour_ = o.background;
    ShowBackground();
    lossless_->setChecked(o.lossless);
    threads_->setValue(o.threads);
    strict_->setChecked(o.strict);
}

// Fields this dialog does not show keep their values.
RunOptions OptionsDialog::Options() const {
    RunOptions o = base_;
    o.resample = ResampleFilter(resample_->currentData().toInt());
    o.onlyShrink = onlyShrink_->isChecked();
    o.longestSide = longestSide_->value();
    o.percent = percent_->value();
    o.autoRotate = autoRotate_->isChecked();
    o.metadata = MetadataMode(metadata_->currentData().toInt());
    o.background = backgroundColour_;
    o.lossless = lossless_->isChecked();
    o.threads = threads_->value();
    o.strict = strict_->isChecked();
    return o;
}

void OptionsDialog::ShowBackground() {
    const QColor colour(RedOf(backgroundColour_), GreenOf(backgroundColour_), BlueOf(backgroundColour_));
    QPixmap swatch(28, 14);
    swatch.fill(colour);
    QPainter(&swatch).drawRect(swatch.rect().adjusted(0, 0, -1, -1));
    background_->setIcon(QIcon(swatch));
    background_->setIconSize(swatch.size());
    background_->setText(colour.name().toUpper());
}
