#include "Describe.h"

#include <cctype>

#include "Error.h"
#include "Text.h"

namespace fieldfx::mlt {

namespace {

// "box blur along rows" -> "Box blur along rows."
std::string sentence(std::string text) {
    if (text.empty()) return text;
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (text.back() != '.') text += '.';
    return text;
}

// MLT's YAML reader strips one pair of double quotes and knows no escapes.
std::string yamlText(std::string text) {
    for (char& c : text) {
        if (c == '"') c = '\'';
        if (c == '\n') c = ' ';
    }
    return "\"" + text + "\"";
}

std::string xmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:  out += c;
        }
    }
    return out;
}

std::string qmlText(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

std::string join(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? separator : "") + items[i];
    return out;
}

const std::vector<Parameter>& parametersOf(const LoadedService& service) { return service.library->parameters(); }

std::string title(const Parameter& p) { return catalogueText(p.label()); }

// What a slider's number counts ("percent of the run"); empty when unknown.
std::string sliderUnit(const Parameter& p) {
    return catalogueHas(p.slider()->text2) ? catalogueText(p.slider()->text2) : "";
}

std::vector<std::string> entries(const Parameter& p) {
    std::vector<std::string> list;
    for (size_t i = 0; i < p.entries.size(); ++i) list.push_back(entryText(p, i));
    return list;
}

// The value as an editor shows it, from the descriptor's initial value.
std::string initialText(const LoadedService& service, size_t i) {
    return mltValue(parametersOf(service)[i], service.initial[i]);
}

std::string parameterHelp(const Parameter& p) {
    switch (p.kind()) {
    case PARAM_SLIDER: {
        const std::string unit = sliderUnit(p);
        return sentence((unit.empty() ? "a whole number" : unit) + ", " + std::to_string(p.slider()->minimum) +
                        " to " + std::to_string(p.slider()->maximum));
    }
    case PARAM_CHOICE:
        if (p.style() == CHOICE_STYLE_NUMBERS) return "One of the numbers " + join(entries(p), ", ") + ".";
        return "One of: " + join(entries(p), ", ") + " (the text, in any case, or its index from 0).";
    case PARAM_COLOR:
        return "A colour: #rrggbb, #aarrggbb, 0xrrggbbaa or a colour name; its alpha is not used.";
    default:
        return "A point X Y in field pixels and field rows (a field holds every other row of the frame, so a "
               "frame of 576 rows has fields of 288). A rectangle X Y W H in frame pixels, as an editor's "
               "rectangle control writes it, stands for its centre: column X + W/2, field row (Y + H/2) / 2.";
    }
}

// One coordinate of a point in Shotcut: a spin box `<name><axis>`.
std::string pointSpinBox(const std::string& name, const std::string& axis) {
    return "            SpinBox {\n                id: " + name + axis +
           "\n\n                from: -32768\n                to: 32767\n                editable: true\n"
           "                onValueModified: updatePoint(" +
           qmlText(name) + ", " + name + "X.value, " + name + "Y.value, " + name + "Keyframes)\n            }\n";
}

// Whether `id` is one of the comma-separated items of `list`.
bool listHolds(const std::string& list, const std::string& id) {
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        if (list.compare(start, comma - start, id) == 0) return true;
        start = comma + 1;
    }
    return false;
}

std::string serviceNotes(const LoadedService& service) {
    std::string notes =
        "The service's run goes from its in point to its out point: fades and motion run over it. Every "
        "parameter takes MLT keyframes, positions in frames from the in point: linear between keys for numbers, "
        "colours and points, stepped for choices; discrete keys hold their value to the next key, smooth keys "
        "follow MLT's curve frame by frame (colours excepted: linear). Values outside a range are held to it; "
        "values that mean nothing are left out with one log line. Frames are worked on as two fields; keyframe k "
        "falls on field 2k, on interlaced and progressive material alike.";
    if (service.info->known->transition) {
        notes += " The A track is the outgoing picture, the B track the incoming one.";
    }
    return notes;
}

}  // namespace

std::string metadataYaml(const LoadedService& service, const std::string& version) {
    const ServiceInfo& info = *service.info;
    std::string y;
    y += "schema_version: 7.0\n";
    y += std::string("type: ") + (info.known->transition ? "transition" : "filter") + "\n";
    y += "identifier: " + info.id + "\n";
    y += "title: " + yamlText(info.known->name) + "\n";
    y += "version: " + yamlText(version) + "\n";
    y += "creator: \"fieldfx\"\n";
    y += "language: en\n";
    y += "tags:\n  - Video\n";
    y += "description: " + yamlText(sentence(info.known->description)) + "\n";
    y += "notes: " + yamlText(serviceNotes(service)) + "\n";
    y += "parameters:\n";
    const std::vector<Parameter>& parameters = parametersOf(service);
    for (size_t i = 0; i < parameters.size(); ++i) {
        const Parameter& p = parameters[i];
        y += "  - identifier: " + p.name + "\n";
        y += "    title: " + yamlText(title(p)) + "\n";
        y += "    description: " + yamlText(parameterHelp(p)) + "\n";
        y += "    type: " + mltType(p) + "\n";
        switch (p.kind()) {
        case PARAM_SLIDER:
            y += "    minimum: " + std::to_string(p.slider()->minimum) + "\n";
            y += "    maximum: " + std::to_string(p.slider()->maximum) + "\n";
            y += "    default: " + initialText(service, i) + "\n";
            if (!sliderUnit(p).empty()) y += "    unit: " + yamlText(sliderUnit(p)) + "\n";
            y += "    widget: spinner\n";
            break;
        case PARAM_CHOICE:
            y += "    default: " + yamlText(initialText(service, i)) + "\n";
            y += "    values:\n";
            for (const std::string& entry : entries(p)) y += "      - " + yamlText(entry) + "\n";
            y += "    widget: combo\n";
            break;
        case PARAM_COLOR:
            y += "    default: " + yamlText(initialText(service, i)) + "\n";
            y += "    widget: color\n";
            break;
        default:
            y += "    default: " + yamlText(initialText(service, i)) + "\n";
            y += "    unit: \"field pixels and rows\"\n";
            break;
        }
        y += "    mutable: yes\n";
        y += "    animation: yes\n";
    }
    return y;
}

std::string kdenliveXml(const LoadedService& service) {
    const ServiceInfo& info = *service.info;
    const char* element = info.known->transition ? "transition" : "effect";
    std::string x = "<?xml version=\"1.0\"?>\n<!DOCTYPE kpartgui>\n";
    x += std::string("<") + element + " tag=\"" + info.id + "\" id=\"" + info.id + "\">\n";
    x += "    <name>" + xmlText(info.known->name) + "</name>\n";
    x += "    <description>" + xmlText(sentence(info.known->description)) + "</description>\n";
    x += "    <author>fieldfx</author>\n";
    const std::vector<Parameter>& parameters = parametersOf(service);
    for (size_t i = 0; i < parameters.size(); ++i) {
        const Parameter& p = parameters[i];
        const std::string name = " name=\"" + p.name + "\"";
        switch (p.kind()) {
        case PARAM_SLIDER:
            x += "    <parameter type=\"animated\"" + name + " default=\"" + initialText(service, i) + "\" min=\"" +
                 std::to_string(p.slider()->minimum) + "\" max=\"" + std::to_string(p.slider()->maximum) +
                 "\" decimals=\"0\">\n";
            break;
        case PARAM_CHOICE:
            x += "    <parameter type=\"list\"" + name + " default=\"" + xmlText(initialText(service, i)) +
                 "\" paramlist=\"" + xmlText(join(entries(p), ";")) + "\">\n";
            x += "        <paramlistdisplay>" + xmlText(join(entries(p), ",")) + "</paramlistdisplay>\n";
            break;
        case PARAM_COLOR: {
            // Kdenlive writes colours as 0xrrggbbaa.
            const std::string rgb = initialText(service, i).substr(1);
            x += "    <parameter type=\"color\"" + name + " default=\"0x" + rgb + "ff\">\n";
            break;
        }
        default: {
            // A square of 100 frame pixels whose centre is the initial point.
            const ParamValue& v = service.initial[i];
            const int left = v.x - 50, top = 2 * v.y - 50;
            x += "    <parameter type=\"animatedrect\"" + name + " default=\"" + std::to_string(left) + " " +
                 std::to_string(top) + " 100 100\" opacity=\"false\">\n";
            break;
        }
        }
        x += "        <name>" + xmlText(title(p)) + "</name>\n";
        x += "        <comment>" + xmlText(parameterHelp(p)) + "</comment>\n";
        x += "    </parameter>\n";
    }
    x += std::string("</") + element + ">\n";
    return x;
}

std::string shotcutMeta(const LoadedService& service) {
    const ServiceInfo& info = *service.info;
    std::vector<std::string> simple, keyframed;
    for (const Parameter& p : parametersOf(service)) {
        if (p.kind() == PARAM_SLIDER) {
            simple.push_back(qmlText(p.name));
            keyframed.push_back("            Parameter {\n                name: " + qmlText(title(p)) +
                                "\n                property: " + qmlText(p.name) +
                                "\n                isCurve: true\n                minimum: " +
                                std::to_string(p.slider()->minimum) + "\n                maximum: " +
                                std::to_string(p.slider()->maximum) + "\n            }");
        } else if (p.kind() == PARAM_POINT) {
            keyframed.push_back("            Parameter {\n                name: " + qmlText(title(p)) +
                                "\n                property: " + qmlText(p.name) + "\n            }");
        }
    }
    std::string q = "// Made by fieldfx-mlt-describe from the " + std::string(info.known->name) +
                    " operator's descriptors.\nimport QtQuick 2.0\nimport org.shotcut.qml 1.0\n\n";
    q += "Metadata {\n";
    q += "    type: Metadata.Filter\n";
    q += "    name: " + qmlText(info.known->name) + "\n";
    q += "    keywords: " + qmlText("fieldfx " + lowerCase(info.known->name) + " " + info.known->description) + "\n";
    q += "    objectName: " + qmlText(info.folder) + "\n";
    q += "    mlt_service: " + qmlText(info.id) + "\n";
    q += "    qml: 'ui.qml'\n\n";
    q += "    keyframes {\n";
    q += "        allowAnimateIn: true\n";
    q += "        allowAnimateOut: true\n";
    q += "        simpleProperties: [" + join(simple, ", ") + "]\n";
    q += "        parameters: [\n" + join(keyframed, ",\n") + "\n        ]\n";
    q += "    }\n";
    q += "}\n";
    return q;
}

std::string shotcutUi(const LoadedService& service) {
    const std::vector<Parameter>& parameters = parametersOf(service);
    std::vector<std::string> sliders, starts, all, defaults, read, enable, simpleUpdate, controls;
    for (size_t i = 0; i < parameters.size(); ++i) {
        const Parameter& p = parameters[i];
        const std::string name = qmlText(p.name), id = p.name, initial = initialText(service, i);
        all.push_back(name);
        std::string label = "        Label {\n            text: " + qmlText(title(p)) +
                            "\n            Layout.alignment: Qt.AlignRight\n\n            Shotcut.HoverTip {\n"
                            "                text: " +
                            qmlText(parameterHelp(p)) + "\n            }\n        }\n\n";
        switch (p.kind()) {
        case PARAM_SLIDER:
            sliders.push_back(name);
            starts.push_back(initial);
            defaults.push_back("            filter.set(" + name + ", " + initial + ");");
            read.push_back("        " + id + "Slider.value = filter.getDouble(" + name + ", position);\n        " + id +
                           "Keyframes.checked = filter.animateIn <= 0 && filter.animateOut <= 0 && "
                           "filter.keyframeCount(" +
                           name + ") > 0;");
            enable.push_back("        " + id + "Slider.enabled = enabled;");
            simpleUpdate.push_back("        updateFilter(" + name + ", " + id + "Slider.value, " + id +
                                   "Keyframes, null);");
            controls.push_back(label + "        Shotcut.SliderSpinner {\n            id: " + id +
                               "Slider\n\n            minimumValue: " + std::to_string(p.slider()->minimum) +
                               "\n            maximumValue: " + std::to_string(p.slider()->maximum) +
                               "\n            stepSize: 1\n            decimals: 0\n            onValueChanged: "
                               "updateFilter(" +
                               name + ", Math.round(value), " + id + "Keyframes, getPosition())\n        }\n\n" +
                               "        Shotcut.UndoButton {\n            onClicked: " + id + "Slider.value = " +
                               initial + "\n        }\n\n        Shotcut.KeyframesButton {\n            id: " + id +
                               "Keyframes\n\n            onToggled: {\n                enableControls(true);\n"
                               "                toggleKeyframes(checked, " +
                               name + ", Math.round(" + id + "Slider.value));\n            }\n        }\n");
            break;
        case PARAM_CHOICE: {
            std::vector<std::string> model;
            for (const std::string& entry : entries(p)) model.push_back(qmlText(entry));
            defaults.push_back("            filter.set(" + name + ", " + qmlText(initial) + ");");
            read.push_back("        " + id + "Combo.currentIndex = entryIndex(" + id + "Combo.model, filter.get(" +
                           name + ", position));");
            controls.push_back(label + "        Shotcut.ComboBox {\n            id: " + id +
                               "Combo\n\n            implicitWidth: 180\n            model: [" + join(model, ", ") +
                               "]\n            onActivated: filter.set(" + name +
                               ", model[index])\n        }\n\n        Shotcut.UndoButton {\n            onClicked: "
                               "filter.set(" +
                               name + ", " + qmlText(initial) + ")\n        }\n\n        Item {\n            "
                                                                "width: 1\n        }\n");
            break;
        }
        case PARAM_COLOR:
            defaults.push_back("            filter.set(" + name + ", " + qmlText(initial) + ");");
            read.push_back("        " + id + "Picker.value = filter.get(" + name + ");");
            controls.push_back(label + "        Shotcut.ColorPicker {\n            id: " + id +
                               "Picker\n\n            onValueChanged: {\n                if (!blockUpdate)\n"
                               "                    filter.set(" +
                               name + ", value);\n            }\n        }\n\n        Shotcut.UndoButton {\n"
                                      "            onClicked: " +
                               id + "Picker.value = " + qmlText(initial) + "\n        }\n\n        Item {\n"
                                                                           "            width: 1\n        }\n");
            break;
        default: {
            const ParamValue& v = service.initial[i];
            defaults.push_back("            filter.set(" + name + ", " + qmlText(initial) + ");");
            read.push_back("        var " + id + "Point = filter.getRect(" + name + ", position);\n        " + id +
                           "X.value = Math.round(" + id + "Point.x);\n        " + id + "Y.value = Math.round(" + id +
                           "Point.y);\n        " + id + "Keyframes.checked = filter.keyframeCount(" + name +
                           ") > 0;");
            const std::string spins = pointSpinBox(p.name, "X"), spinY = pointSpinBox(p.name, "Y");
            controls.push_back(label + "        RowLayout {\n            Label {\n                text: 'X'\n"
                                       "            }\n\n" +
                               spins + "\n            Label {\n                text: 'Y'\n            }\n\n" +
                               spinY + "        }\n\n        Shotcut.UndoButton {\n            onClicked: "
                                       "updatePoint(" +
                               name + ", " + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + id +
                               "Keyframes)\n        }\n\n        Shotcut.KeyframesButton {\n            id: " + id +
                               "Keyframes\n\n            onToggled: togglePointKeyframes(checked, " + name + ", " +
                               id + "X.value, " + id + "Y.value)\n        }\n");
            break;
        }
        }
    }

    std::string q = "// Made by fieldfx-mlt-describe from the " + std::string(service.info->known->name) +
                    " operator's descriptors.\n"
                    "import QtQuick 2.12\nimport QtQuick.Controls 2.12\nimport QtQuick.Layouts 1.12\n"
                    "import Shotcut.Controls 1.0 as Shotcut\n\n";
    q += "Shotcut.KeyframableFilter {\n";
    q += "    function entryIndex(entries, text) {\n"
         "        for (var i = 0; i < entries.length; i++) {\n"
         "            if (entries[i].toLowerCase() === String(text).toLowerCase())\n"
         "                return i;\n"
         "        }\n"
         "        var index = parseInt(text);\n"
         "        return isNaN(index) ? -1 : index;\n"
         "    }\n\n";
    q += "    // A point is \"X Y\" in field pixels and rows, keyframed or not.\n"
         "    function updatePoint(name, x, y, button) {\n"
         "        if (blockUpdate)\n"
         "            return ;\n"
         "        if (button.checked) {\n"
         "            filter.set(name, x + ' ' + y, getPosition());\n"
         "        } else {\n"
         "            filter.resetProperty(name);\n"
         "            filter.set(name, x + ' ' + y);\n"
         "        }\n"
         "    }\n\n"
         "    function togglePointKeyframes(checked, name, x, y) {\n"
         "        filter.resetProperty(name);\n"
         "        if (checked)\n"
         "            filter.set(name, x + ' ' + y, getPosition());\n"
         "        else\n"
         "            filter.set(name, x + ' ' + y);\n"
         "    }\n\n";
    q += "    function setControls() {\n        var position = getPosition();\n        blockUpdate = true;\n" +
         join(read, "\n") + "\n        blockUpdate = false;\n        enableControls(isSimpleKeyframesActive());\n    }\n\n";
    q += "    function enableControls(enabled) {\n" + join(enable, "\n") + (enable.empty() ? "" : "\n") + "    }\n\n";
    q += "    function updateSimpleKeyframes() {\n" + join(simpleUpdate, "\n") + (simpleUpdate.empty() ? "" : "\n") +
         "    }\n\n";
    q += "    keyframableParameters: [" + join(sliders, ", ") + "]\n";
    q += "    startValues: [" + join(starts, ", ") + "]\n";
    q += "    middleValues: [" + join(starts, ", ") + "]\n";
    q += "    endValues: [" + join(starts, ", ") + "]\n";
    q += "    width: 400\n    height: " + std::to_string(60 + 40 * parameters.size()) + "\n";
    q += "    Component.onCompleted: {\n        if (filter.isNew) {\n" + join(defaults, "\n") +
         "\n            filter.savePreset(preset.parameters);\n        }\n        setControls();\n    }\n\n";
    q += "    GridLayout {\n        anchors.fill: parent\n        anchors.margins: 8\n        columns: 4\n\n";
    q += "        Label {\n            text: qsTr('Preset')\n            Layout.alignment: Qt.AlignRight\n"
         "        }\n\n"
         "        Shotcut.Preset {\n            id: preset\n\n            parameters: [" +
         join(all, ", ") +
         "]\n            Layout.columnSpan: 3\n            onBeforePresetLoaded: resetSimpleKeyframes()\n"
         "            onPresetSelected: {\n                setControls();\n"
         "                initializeSimpleKeyframes();\n            }\n        }\n\n";
    q += join(controls, "\n");
    q += "\n        Item {\n            Layout.fillHeight: true\n        }\n    }\n\n";
    q += "    Connections {\n"
         "        function onChanged() {\n            setControls();\n        }\n\n"
         "        function onInChanged() {\n            updateSimpleKeyframes();\n        }\n\n"
         "        function onOutChanged() {\n            updateSimpleKeyframes();\n        }\n\n"
         "        function onAnimateInChanged() {\n            updateSimpleKeyframes();\n        }\n\n"
         "        function onAnimateOutChanged() {\n            updateSimpleKeyframes();\n        }\n\n"
         "        function onPropertyChanged(name) {\n            setControls();\n        }\n\n"
         "        target: filter\n    }\n\n"
         "    Connections {\n        function onPositionChanged() {\n            setControls();\n        }\n\n"
         "        target: producer\n    }\n}\n";
    return q;
}

std::vector<DescribedFile> describeService(const LoadedService& service, const std::string& version) {
    const ServiceInfo& info = *service.info;
    const bool transition = info.known->transition;
    std::vector<DescribedFile> files;
    files.push_back({"mlt-7/fieldfx/" + std::string(transition ? "transition_" : "filter_") +
                         lowerCase(info.known->name) + ".yml",
                     metadataYaml(service, version)});
    files.push_back({std::string("kdenlive/") + (transition ? "transitions/" : "effects/") + info.folder + ".xml",
                     kdenliveXml(service)});
    if (!transition) {
        files.push_back({"shotcut/qml/filters/" + info.folder + "/meta.qml", shotcutMeta(service)});
        files.push_back({"shotcut/qml/filters/" + info.folder + "/ui.qml", shotcutUi(service)});
    }
    return files;
}

std::string mergeKdenliveCategories(const std::string& categories, const std::vector<ServiceInfo>& services) {
    std::string out = categories;
    const size_t end = out.rfind("</data>");
    if (out.find("<data") == std::string::npos || end == std::string::npos) {
        throw UserError("Kdenlive's category file", "has no <data> element");
    }
    for (const ServiceInfo& info : services) {
        if (info.kdenliveGroup.empty()) continue;
        // Already listed in some group: left where it is.
        bool listed = false;
        for (size_t at = out.find("list=\""); at != std::string::npos && !listed; at = out.find("list=\"", at + 1)) {
            const size_t from = at + 6, to = out.find('"', from);
            if (to == std::string::npos) break;
            listed = listHolds(out.substr(from, to - from), info.id);
        }
        if (listed) continue;
        const size_t text = out.find("<text>" + info.kdenliveGroup + "</text>");
        const size_t group = text == std::string::npos ? std::string::npos : out.rfind("<group list=\"", text);
        if (group != std::string::npos) {
            const size_t close = out.find('"', group + 13);
            const bool empty = close == group + 13;
            out.insert(close, (empty ? "" : ",") + info.id);
        } else {
            out.insert(out.rfind("</data>"), "<group list=\"" + info.id + "\">\n<text>" + info.kdenliveGroup +
                                                 "</text>\n</group>\n\n");
        }
    }
    return out;
}

}  // namespace fieldfx::mlt
