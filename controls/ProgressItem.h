#pragma once
// One row of the progress list: the texts, state, progress segments and icon of one game download,
// plus its clickable elements (element 0 the remove button, element 1 the status button). A plain
// record owned by ProgressListView and used on the user-interface thread only; it holds no
// download logic. Copies clone the elements (never hovered) and share the icon image.
#include <QImage>
#include <QRectF>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/RowView.h"
#include "controls/ActiveElement.h"

class ButtonFromCommonTexture;

class ProgressItem {
public:
    // The row's buttons are created here; the status button keeps its initial pause look and
    // remove command until the first SetState.
    ProgressItem(const std::u16string& id, const std::u16string& title,
                 const std::u16string& statusText, const std::u16string& iconPath, int32_t state);
    ProgressItem(const ProgressItem& other);
    ProgressItem& operator=(const ProgressItem& other);
    // Moves keep the element objects themselves, so the list's references to them stay valid.
    ProgressItem(ProgressItem&&) noexcept = default;
    ProgressItem& operator=(ProgressItem&&) noexcept = default;
    virtual ~ProgressItem();

    // Stores the state and restyles the status button. Segments are looked at only here: one
    // that turns to Failed later shows the warning look only after the next call.
    void SetState(int32_t newState);
    // Loads the icon image from `path` (an unreadable file leaves an icon that draws nothing).
    void LoadIcon(const std::u16string& path);
    bool HasSegmentOfKind(SegmentKind kind) const;

    ActiveElement& RemoveButton() { return *elements[0]; }
    ButtonFromCommonTexture& StatusButton();
    const ButtonFromCommonTexture& StatusButton() const;

    std::u16string id;
    std::u16string title;
    std::u16string statusText;
    QRectF linkRect;  // where the link was last drawn, list client coordinates
    std::u16string linkText;
    std::u16string linkTarget;
    std::u16string iconPath;
    std::vector<Segment> segments;
    int32_t state = 0;
    QImage icon;  // implicitly shared between copies; null: no icon
    std::vector<std::unique_ptr<ActiveElement>> elements;
};

// Cells of the shared button texture (the icon atlas), all 13 x 13.
namespace AtlasCell {
inline constexpr QRect kReady{0, 0, 13, 13};
inline constexpr QRect kActive{15, 0, 13, 13};
inline constexpr QRect kPaused{30, 0, 13, 13};
inline constexpr QRect kReadyHover{45, 0, 13, 13};
inline constexpr QRect kActiveHover{45, 14, 13, 13};
inline constexpr QRect kPausedHover{45, 29, 13, 13};
inline constexpr QRect kWarning{29, 16, 13, 13};
inline constexpr QRect kWarningHover{44, 44, 13, 13};
inline constexpr QRect kRemove{15, 15, 13, 13};
inline constexpr QRect kRemoveHover{28, 107, 13, 13};
}  // namespace AtlasCell
