// Lint rules of the viewer page (browser ES modules) and its unit tests (node).
import js from "@eslint/js";
import globals from "globals";

export default [
  { ignores: ["node_modules/"] },
  js.configs.recommended,
  {
    files: ["*.js"],
    languageOptions: { ecmaVersion: 2022, sourceType: "module", globals: globals.browser },
    rules: {
      // The page reports in its own status line; a console message is a test failure.
      "no-console": "error",
      eqeqeq: "error",
      curly: "error",
      "no-var": "error",
      "prefer-const": "error",
      "no-shadow": "error",
      "no-implicit-globals": "error",
      "no-unused-vars": ["error", { args: "after-used" }],
    },
  },
  {
    files: ["test/**/*.js", "*.mjs"],
    languageOptions: { ecmaVersion: 2022, sourceType: "module", globals: globals.node },
  },
];
