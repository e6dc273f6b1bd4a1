package vmdetection

import (
	"bytes"
	"encoding/json"
	"errors"
	"fmt"
	"io"
	"math"
	"regexp"
	"strconv"
	"strings"
	"unicode/utf8"
)

// ErrParse is what errors.Is finds in every error of Parse: the text is
// not a report.
var ErrParse = errors.New("vmdetection: not a report")

// ParseError says why a text is not a report. errors.Is(err, ErrParse)
// holds for it, and Err (through errors.Unwrap and errors.As) is the JSON
// decoder's error when the text is not JSON at all.
type ParseError struct {
	Reason string
	Err    error
}

func (e *ParseError) Error() string {
	if e.Err != nil {
		return fmt.Sprintf("%v: %s: %v", ErrParse, e.Reason, e.Err)
	}
	return fmt.Sprintf("%v: %s", ErrParse, e.Reason)
}

// Is makes errors.Is(err, ErrParse) hold.
func (e *ParseError) Is(target error) bool { return target == ErrParse }

// Unwrap gives the decoder's error, if any.
func (e *ParseError) Unwrap() error { return e.Err }

// Parse reads a report's JSON text, as the library or vmd-detect writes it.
// It accepts exactly the texts that the report's JSON Schema
// (report-v1.schema.json) accepts and in which no object names a member
// twice; anything else is a *ParseError. Numbers are read exactly as
// written: 95.0 is the integer 95.
func Parse(raw string) (*Report, error) {
	v, err := readDocument(raw)
	if err != nil {
		return nil, err
	}
	var c checker
	r := c.report(v)
	if c.err != nil {
		return nil, c.err
	}
	r.Raw = raw
	return r, nil
}

// UnmarshalJSON reads a report as Parse does, so that encoding/json gives
// back what MarshalJSON wrote.
func (r *Report) UnmarshalJSON(text []byte) error {
	p, err := Parse(string(text))
	if err != nil {
		return err
	}
	*r = *p
	return nil
}

// UnmarshalJSON reads one evidence as Parse does.
func (e *Evidence) UnmarshalJSON(text []byte) error {
	return unmarshalPart(text, func(c *checker, v any) { *e = c.evidence(v, "evidence") })
}

// UnmarshalJSON reads one probe as Parse does.
func (p *Probe) UnmarshalJSON(text []byte) error {
	return unmarshalPart(text, func(c *checker, v any) { *p = c.probe(v, "probe") })
}

func unmarshalPart(text []byte, read func(*checker, any)) error {
	v, err := readDocument(string(text))
	if err != nil {
		return err
	}
	var c checker
	read(&c, v)
	return c.err
}

// The deepest nesting a report has: the report, a list, an evidence.
const maxDepth = 3

// readDocument reads one JSON document into nil, bool, json.Number,
// string, []any and map[string]any, refusing a member named twice in an
// object (encoding/json would keep the last) and anything after the value.
func readDocument(raw string) (any, error) {
	d := json.NewDecoder(strings.NewReader(raw))
	d.UseNumber()
	v, err := readValue(d, 0)
	if err == nil {
		if _, end := d.Token(); end != io.EOF {
			err = &ParseError{Reason: "more after the report", Err: end}
		}
	}
	if err != nil {
		var parseErr *ParseError
		if errors.As(err, &parseErr) {
			return nil, err
		}
		if err == io.EOF {
			err = io.ErrUnexpectedEOF
		}
		return nil, &ParseError{Reason: "not JSON", Err: err}
	}
	return v, nil
}

func readValue(d *json.Decoder, depth int) (any, error) {
	t, err := d.Token()
	if err != nil {
		return nil, err
	}
	delim, ok := t.(json.Delim)
	if !ok {
		return t, nil
	}
	// Nothing in a report nests deeper, and a text that does is refused
	// anyway: stop before it can exhaust the stack.
	if depth == maxDepth {
		return nil, &ParseError{Reason: "nested deeper than a report"}
	}
	if delim == '[' {
		items := []any{}
		for d.More() {
			item, err := readValue(d, depth+1)
			if err != nil {
				return nil, err
			}
			items = append(items, item)
		}
		_, err = d.Token()
		return items, err
	}
	members := map[string]any{}
	for d.More() {
		key, err := d.Token()
		if err != nil {
			return nil, err
		}
		name, _ := key.(string)
		if _, twice := members[name]; twice {
			return nil, &ParseError{Reason: fmt.Sprintf("member %q given twice", name)}
		}
		if members[name], err = readValue(d, depth+1); err != nil {
			return nil, err
		}
	}
	_, err = d.Token()
	return members, err
}

// The report's members, in the library's order.
var members = []string{"schema_version", "module_version", "vm_score", "vm_likelihood",
	"hypervisors", "containers", "compatibility_layers", "host_hypervisors",
	"cloud_providers", "evidence", "probes", "duration_us"}

var (
	versionPattern = regexp.MustCompile(`^[0-9]+\.[0-9]+\.[0-9]+$`)
	vendorPattern  = regexp.MustCompile(`^[a-z0-9]+(-[a-z0-9]+)*$`)
	sources        = []string{"cpu", "timing", "firmware", "device_tree", "hypervisor", "system", "container"}
)

// checker holds a read document to the schema, keeping the first fault.
type checker struct{ err error }

func (c *checker) fail(path, format string, args ...any) {
	if c.err == nil {
		c.err = &ParseError{Reason: path + ": " + fmt.Sprintf(format, args...)}
	}
}

// object gives the members of an object that has exactly these.
func (c *checker) object(v any, path string, names []string) map[string]any {
	o, ok := v.(map[string]any)
	if !ok {
		c.fail(path, "%s, not an object", kind(v))
		return nil
	}
	for _, name := range names {
		if _, ok := o[name]; !ok {
			c.fail(path, "member %q missing", name)
		}
	}
	if len(o) != len(names) {
		for name := range o {
			if !contains(names, name) {
				c.fail(path, "unknown member %q", name)
			}
		}
	}
	return o
}

func (c *checker) array(v any, path string) []any {
	a, ok := v.([]any)
	if !ok {
		c.fail(path, "%s, not an array", kind(v))
	}
	return a
}

// integer reads a number with no fractional part within [min, max].
func (c *checker) integer(v any, path string, min, max int64) int64 {
	n, ok := v.(json.Number)
	if !ok {
		c.fail(path, "%s, not a number", kind(v))
		return 0
	}
	i, integral, fits := exactInteger(string(n))
	switch {
	case !integral:
		c.fail(path, "%s is not an integer", n)
	case !fits || i < min || i > max:
		c.fail(path, "%s out of %d..%d", n, min, max)
	}
	return i
}

// exactInteger reads a JSON number as written, without rounding: in the
// schema's dialect 95.0 and 9.5e1 are the integer 95, and
// 95.000000000000001 is no integer, though it is 95 as a float64. fits is
// false for an integer beyond ±10^18, which no report holds.
func exactInteger(n string) (i int64, integral, fits bool) {
	mantissa, exponent := strings.TrimPrefix(n, "-"), "0"
	if k := strings.IndexAny(mantissa, "eE"); k >= 0 {
		mantissa, exponent = mantissa[:k], strings.TrimPrefix(mantissa[k+1:], "+")
	}
	whole, fraction, _ := strings.Cut(mantissa, ".")
	// An exponent beyond 32 bits says what the limit says of any digits.
	scale, err := strconv.ParseInt(exponent, 10, 32)
	if err != nil {
		scale = math.MaxInt32
		if strings.HasPrefix(exponent, "-") {
			scale = math.MinInt32
		}
	}
	digits := strings.TrimLeft(whole+fraction, "0")
	scale -= int64(len(fraction))
	for strings.HasSuffix(digits, "0") {
		digits = digits[:len(digits)-1]
		scale++
	}
	if digits == "" {
		return 0, true, true
	}
	if scale < 0 {
		return 0, false, false
	}
	if int64(len(digits))+scale > 18 {
		return 0, true, false
	}
	i, _ = strconv.ParseInt(digits+strings.Repeat("0", int(scale)), 10, 64)
	if strings.HasPrefix(n, "-") {
		i = -i
	}
	return i, true, true
}

func (c *checker) str(v any, path string) string {
	s, ok := v.(string)
	if !ok {
		c.fail(path, "%s, not a string", kind(v))
	}
	return s
}

func (c *checker) word(v any, path string, words ...string) string {
	s := c.str(v, path)
	if c.err == nil && !contains(words, s) {
		c.fail(path, "%q is none of %s", s, strings.Join(words, ", "))
	}
	return s
}

func (c *checker) matching(v any, path string, pattern *regexp.Regexp) string {
	s := c.str(v, path)
	if c.err == nil && !pattern.MatchString(s) {
		c.fail(path, "%q does not match %s", s, pattern)
	}
	return s
}

func (c *checker) vendors(v any, path string) []string {
	items := c.array(v, path)
	list := make([]string, len(items))
	for i, item := range items {
		at := fmt.Sprintf("%s[%d]", path, i)
		list[i] = c.matching(item, at, vendorPattern)
		if list[i] == "unknown" || contains(list[:i], list[i]) {
			c.fail(at, "%q not allowed here", list[i])
		}
	}
	return list
}

// detail gives the bytes a detail's characters stand for, one each.
func (c *checker) detail(v any, path string) string {
	s := c.str(v, path)
	if utf8.RuneCountInString(s) > 160 {
		c.fail(path, "longer than 160 characters")
	}
	b := make([]byte, 0, len(s))
	for _, r := range s {
		// The decoder reads a lone surrogate and bytes that are not UTF-8
		// as U+FFFD, refused here too.
		if r > 0xFF {
			c.fail(path, "character %U above U+00FF", r)
		}
		b = append(b, byte(r))
	}
	return string(b)
}

func (c *checker) report(v any) *Report {
	o := c.object(v, "report", members)
	r := &Report{
		SchemaVersion:       int(c.integer(o["schema_version"], "schema_version", 1, 1)),
		ModuleVersion:       c.matching(o["module_version"], "module_version", versionPattern),
		VMScore:             int(c.integer(o["vm_score"], "vm_score", 0, 99)),
		VMLikelihood:        c.word(o["vm_likelihood"], "vm_likelihood", "very_likely", "likely", "possible", "not_detected", "unknown"),
		Hypervisors:         c.vendors(o["hypervisors"], "hypervisors"),
		Containers:          c.vendors(o["containers"], "containers"),
		CompatibilityLayers: c.vendors(o["compatibility_layers"], "compatibility_layers"),
		HostHypervisors:     c.vendors(o["host_hypervisors"], "host_hypervisors"),
		CloudProviders:      c.vendors(o["cloud_providers"], "cloud_providers"),
		DurationUS:          c.integer(o["duration_us"], "duration_us", 0, 1<<53-1),
	}
	evidence := c.array(o["evidence"], "evidence")
	r.Evidence = make([]Evidence, len(evidence))
	for i, e := range evidence {
		r.Evidence[i] = c.evidence(e, fmt.Sprintf("evidence[%d]", i))
	}
	probes := c.array(o["probes"], "probes")
	r.Probes = make([]Probe, len(probes))
	for i, p := range probes {
		r.Probes[i] = c.probe(p, fmt.Sprintf("probes[%d]", i))
	}
	return r
}

func (c *checker) evidence(v any, path string) Evidence {
	o := c.object(v, path, []string{"source", "category", "vendor", "weight", "detail"})
	return Evidence{
		Source:   c.word(o["source"], path+".source", sources...),
		Category: c.word(o["category"], path+".category", "guest", "host", "container", "compatibility", "cloud", "diagnostic"),
		Vendor:   c.matching(o["vendor"], path+".vendor", vendorPattern),
		Weight:   int(c.integer(o["weight"], path+".weight", math.MinInt32, math.MaxInt32)),
		Detail:   c.detail(o["detail"], path+".detail"),
	}
}

func (c *checker) probe(v any, path string) Probe {
	o := c.object(v, path, []string{"source", "status"})
	return Probe{
		Source: c.word(o["source"], path+".source", sources...),
		Status: c.word(o["status"], path+".status", "ok", "unavailable", "error"),
	}
}

func kind(v any) string {
	switch v.(type) {
	case nil:
		return "null"
	case bool:
		return "a boolean"
	case json.Number:
		return "a number"
	case string:
		return "a string"
	case []any:
		return "an array"
	}
	return "an object"
}

func contains(list []string, s string) bool {
	for _, item := range list {
		if item == s {
			return true
		}
	}
	return false
}

// MarshalJSON writes the report as the library does, member for member:
// compact, and each byte outside printable ASCII as a \u00XX escape, so
// that the text is ASCII and Parse gives back the same bytes (Go strings
// hold bytes, which encoding/json would otherwise write as they are, not
// always valid UTF-8).
func (r Report) MarshalJSON() ([]byte, error) {
	var b bytes.Buffer
	fmt.Fprintf(&b, `{"schema_version":%d,"module_version":`, r.SchemaVersion)
	writeQuoted(&b, r.ModuleVersion)
	fmt.Fprintf(&b, `,"vm_score":%d,"vm_likelihood":`, r.VMScore)
	writeQuoted(&b, r.VMLikelihood)
	for _, list := range []struct {
		name  string
		items []string
	}{{"hypervisors", r.Hypervisors}, {"containers", r.Containers},
		{"compatibility_layers", r.CompatibilityLayers},
		{"host_hypervisors", r.HostHypervisors}, {"cloud_providers", r.CloudProviders}} {
		fmt.Fprintf(&b, `,%q:[`, list.name)
		for i, item := range list.items {
			if i > 0 {
				b.WriteByte(',')
			}
			writeQuoted(&b, item)
		}
		b.WriteByte(']')
	}
	b.WriteString(`,"evidence":[`)
	for i, e := range r.Evidence {
		if i > 0 {
			b.WriteByte(',')
		}
		e.write(&b)
	}
	b.WriteString(`],"probes":[`)
	for i, p := range r.Probes {
		if i > 0 {
			b.WriteByte(',')
		}
		p.write(&b)
	}
	fmt.Fprintf(&b, `],"duration_us":%d}`, r.DurationUS)
	return b.Bytes(), nil
}

// MarshalJSON writes the evidence as the library does.
func (e Evidence) MarshalJSON() ([]byte, error) {
	var b bytes.Buffer
	e.write(&b)
	return b.Bytes(), nil
}

// MarshalJSON writes the probe as the library does.
func (p Probe) MarshalJSON() ([]byte, error) {
	var b bytes.Buffer
	p.write(&b)
	return b.Bytes(), nil
}

func (e Evidence) write(b *bytes.Buffer) {
	b.WriteString(`{"source":`)
	writeQuoted(b, e.Source)
	b.WriteString(`,"category":`)
	writeQuoted(b, e.Category)
	b.WriteString(`,"vendor":`)
	writeQuoted(b, e.Vendor)
	fmt.Fprintf(b, `,"weight":%d,"detail":`, e.Weight)
	writeQuoted(b, e.Detail)
	b.WriteByte('}')
}

func (p Probe) write(b *bytes.Buffer) {
	b.WriteString(`{"source":`)
	writeQuoted(b, p.Source)
	b.WriteString(`,"status":`)
	writeQuoted(b, p.Status)
	b.WriteByte('}')
}

// writeQuoted writes s's bytes as a JSON string the way the library does.
func writeQuoted(b *bytes.Buffer, s string) {
	b.WriteByte('"')
	for i := 0; i < len(s); i++ {
		switch c := s[i]; {
		case c == '"' || c == '\\':
			b.WriteByte('\\')
			b.WriteByte(c)
		case c < 0x20 || c >= 0x7f:
			fmt.Fprintf(b, `\u%04x`, c)
		default:
			b.WriteByte(c)
		}
	}
	b.WriteByte('"')
}
