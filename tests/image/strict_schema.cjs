// Validates Kubernetes objects against the API's own schemas, as the npm
// package kubernetes-models carries them, made strict: every object schema
// that lists its properties refuses any other, as the API server's strict
// field validation does. Without that a misspelt field (securityContext's
// readOnlyRootFileSystem, say) passes and is silently dropped on apply.
//
//   node strict_schema.cjs NODE_MODULES OBJECTS.json    (a JSON array)
// Prints one line per object; exits 1 if any is invalid.
'use strict';
const fs = require('fs');
const path = require('path');

const [modules, file] = process.argv.slice(2).map((p) => path.resolve(p));
const validate = require(path.join(modules, '@kubernetes-models/validate'));

function strict(schema) {
  if (Array.isArray(schema)) return schema.map(strict);
  if (schema === null || typeof schema !== 'object') return schema;
  const out = {};
  for (const [key, value] of Object.entries(schema)) {
    // Under "properties" the keys are field names, not keywords.
    out[key] = key === 'properties'
      ? Object.fromEntries(Object.entries(value).map(([name, s]) => [name, strict(s)]))
      : strict(value);
  }
  if (schema.properties && !('additionalProperties' in schema) &&
      !schema['x-kubernetes-preserve-unknown-fields']) {
    out.additionalProperties = false;
  }
  return out;
}

// The schema modules look register up at each call.
const register = validate.register;
validate.register = (id, schema) => register(id, strict(schema));

const capital = (word) => word[0].toUpperCase() + word.slice(1);
let failed = 0;
for (const object of JSON.parse(fs.readFileSync(file, 'utf8'))) {
  const [group, version] = object.apiVersion.includes('/')
    ? object.apiVersion.split('/') : ['core', object.apiVersion];
  const short = group.split('.')[0];
  const name = `${object.kind}/${object.metadata && object.metadata.name}`;
  try {
    require(path.join(modules, 'kubernetes-models', '_schemas',
                      `IoK8sApi${capital(short)}${capital(version)}${object.kind}.js`)).addSchema();
    validate.validate(`io.k8s.api.${short}.${version}.${object.kind}`, object);
    console.log(`valid   ${name}`);
  } catch (e) {
    failed++;
    console.log(`INVALID ${name}: ${e.message}`);
  }
}
process.exit(failed ? 1 : 0);
