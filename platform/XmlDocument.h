#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
struct xml_node_struct;
}

namespace thg {

class XmlDocument;

// A handle to an element (or other node) of an XmlDocument. Cheap to copy; valid while its document
// lives. An empty handle is safe to use: it selects nothing and yields empty text. All text passes
// as UTF-8.
class XmlNode {
public:
    XmlNode() = default;

    bool isNull() const { return node_ == nullptr; }
    explicit operator bool() const { return node_ != nullptr; }
    bool operator==(const XmlNode& other) const = default;

    // The element's name ("" for an empty handle or a non-element node).
    std::string name() const;

    // All nodes matching an XPath 1.0 expression evaluated with this node as context, in document
    // order. An invalid expression is an Error. Attributes are not returned as nodes, and an
    // element's leading text is held by the element, so select elements (text() finds no such text).
    std::vector<XmlNode> selectNodes(std::string_view xpath) const;
    // The first match in document order, or an empty handle.
    XmlNode selectSingleNode(std::string_view xpath) const;

    // The child elements named `name`, in document order: the same nodes as selectNodes(name), without
    // compiling an XPath expression, for the hot paths that read every item of a large file.
    std::vector<XmlNode> childElements(std::string_view name) const;

    // The text of the node and of everything inside it, in document order: character data and CDATA
    // sections joined; references already decoded.
    std::string text() const;

    // The value of the attribute `name`, or nothing when the element has no such attribute.
    std::optional<std::string> attribute(std::string_view name) const;

    // Sets or replaces the attribute.
    void setAttribute(std::string_view name, std::string_view value);
    // Replaces the element's whole content with one text node (no node at all for empty text).
    void setText(std::string_view text);
    // Moves `child` (usually from XmlDocument::createElement) to the end of this node's children.
    void appendChild(XmlNode child);
    // Removes `child` and everything inside it; handles to the removed nodes are no longer valid. An
    // empty handle or a node that is not a child of this one is an Error, as the administration
    // system's own DOM reports it.
    void removeChild(XmlNode child);

private:
    friend class XmlDocument;
    explicit XmlNode(pugi::xml_node_struct* node) : node_(node) {}
    pugi::xml_node_struct* node_ = nullptr;
};

// An exchange file in memory. Loading accepts UTF-8 (with or without BOM), UTF-16 with BOM,
// ISO-8859-1 and windows-1252; any other declared encoding is an Error naming it. A document that is
// not well-formed is an Error naming the file, the line and the column. Entities: the predefined ones
// and character references are decoded; text entities declared in the document's own internal DTD
// subset are expanded (with a bound on the expanded size); any other reference is an Error naming the
// line and column. Nothing outside the file is ever read.
class XmlDocument {
public:
    XmlDocument();
    ~XmlDocument();
    XmlDocument(XmlDocument&&) noexcept;
    XmlDocument& operator=(XmlDocument&&) noexcept;

    static XmlDocument load(const std::filesystem::path& file);
    // Parses text that is already in memory (tests, fuzzing). `name` stands for the file in messages.
    static XmlDocument parse(std::string_view bytes, const std::string& name = "documento XML");

    // The document element, or an empty handle for an empty document.
    XmlNode root() const;
    // XPath evaluated from the document node (absolute expressions).
    std::vector<XmlNode> selectNodes(std::string_view xpath) const;
    XmlNode selectSingleNode(std::string_view xpath) const;

    // A new element outside the tree, to be placed with XmlNode::appendChild. One never placed is not
    // saved.
    XmlNode createElement(std::string_view name);

    // Writes the whole document with its own XML declaration and in its own encoding, indented one
    // element a line, replacing `file` atomically (see writeFileAtomically).
    void save(const std::filesystem::path& file);
    // The bytes save() would write.
    std::string serialize();

    // The encoding the document was read in, as it will be written back: "UTF-8", "UTF-16LE",
    // "UTF-16BE", "ISO-8859-1" or "windows-1252".
    std::string encoding() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace thg
