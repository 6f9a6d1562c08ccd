#include "controls/ProgressItem.h"

#include <QString>
#include <algorithm>

#include "controls/ButtonFromCommonTexture.h"
#include "core/MessageIds.h"

namespace {
const QRectF kRemoveButtonPlace(320, 20, 13, 13);
const QRectF kStatusButtonPlace(57, 5, 13, 13);
}  // namespace

ProgressItem::ProgressItem(const std::u16string& rowId, const std::u16string& rowTitle,
                           const std::u16string& rowStatusText, const std::u16string& rowIconPath,
                           int32_t rowState)
    : id(rowId),
      title(rowTitle),
      statusText(rowStatusText),
      iconPath(rowIconPath),
      state(rowState) {
    if (!iconPath.empty()) {
        LoadIcon(iconPath);
    }
    elements.push_back(std::make_unique<ButtonFromCommonTexture>(
        kRemoveButtonPlace, AtlasCell::kRemove, AtlasCell::kRemoveHover, WM_APP_REMOVE_ITEM));
    elements.push_back(std::make_unique<ButtonFromCommonTexture>(
        kStatusButtonPlace, AtlasCell::kPaused, AtlasCell::kPausedHover, WM_APP_REMOVE_ITEM));
}

ProgressItem::ProgressItem(const ProgressItem& other)
    : id(other.id),
      title(other.title),
      statusText(other.statusText),
      linkRect(other.linkRect),
      linkText(other.linkText),
      linkTarget(other.linkTarget),
      iconPath(other.iconPath),
      segments(other.segments),
      state(other.state),
      icon(other.icon) {
    elements.reserve(other.elements.size());
    for (const auto& element : other.elements) {
        elements.push_back(element->Clone());
    }
}

ProgressItem& ProgressItem::operator=(const ProgressItem& other) {
    if (this != &other) {
        ProgressItem copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ProgressItem::~ProgressItem() = default;

void ProgressItem::SetState(int32_t newState) {
    state = newState;
    ButtonFromCommonTexture& button = StatusButton();
    if (HasSegmentOfKind(SegmentKind::Failed) || state == RowFailed) {
        button.Restyle(AtlasCell::kWarning, AtlasCell::kWarningHover, WM_APP_RETRY_ITEM);
    } else if (state == RowActive || state == RowActiveNoProgress ||
               state == RowActiveNoProgress2) {
        button.Restyle(AtlasCell::kActive, AtlasCell::kActiveHover, WM_APP_PAUSE_BUTTON);
    } else if (state == RowPaused || state == RowPending) {
        button.Restyle(AtlasCell::kPaused, AtlasCell::kPausedHover, WM_APP_ROW_TOGGLE);
    } else if (state == RowReady) {
        button.Restyle(AtlasCell::kReady, AtlasCell::kReadyHover, WM_APP_RUN_INSTALLER);
    }
}

void ProgressItem::LoadIcon(const std::u16string& path) {
    iconPath = path;
    // A file that cannot be read leaves a null image, which draws nothing.
    icon = QImage(QString::fromStdU16String(path));
}

bool ProgressItem::HasSegmentOfKind(SegmentKind kind) const {
    return std::any_of(segments.begin(), segments.end(),
                       [kind](const Segment& segment) { return segment.kind == kind; });
}

ButtonFromCommonTexture& ProgressItem::StatusButton() {
    return static_cast<ButtonFromCommonTexture&>(*elements[1]);
}

const ButtonFromCommonTexture& ProgressItem::StatusButton() const {
    return static_cast<const ButtonFromCommonTexture&>(*elements[1]);
}
